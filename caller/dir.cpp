// zefcall dir: a directory choice through dirvane.
#include "zefcall.h"

#include <cstring>
#include <filesystem>

bool parseDirResult(const std::string &text, DirResult &result)
{
    static const std::string head = "{\"status\":";
    static const std::string middle = ", \"pathName\":\"";
    static const std::string tail = "\"}";
    if (text.compare(0, head.size(), head) != 0)
        return false;
    const size_t digits = text.find_first_not_of("0123456789", head.size());
    if (digits == head.size() || digits - head.size() > 9 ||
        text.compare(digits, middle.size(), middle) != 0)
        return false;
    const size_t path = digits + middle.size();
    if (text.size() < path + tail.size() ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    result.status = std::stoi(text.substr(head.size(), digits - head.size()));
    result.path = text.substr(path, text.size() - tail.size() - path);
    return true;
}

int dirCommand()
{
    const std::string dirvane = findPrompt("dirvane");
    if (dirvane.empty())
        return fail("dirvane not found beside zefcall or on PATH");
    // dirvane loads its Chinese texts from translations/ in its working
    // folder, which the installation puts beside the program.
    PromptRun run;
    if (!clearSegment(DIR_SEGMENT_KEY) ||
        !runPrompt(dirvane, run, std::filesystem::path(dirvane).parent_path()))
        return Failed;

    char text[DIR_SEGMENT_SIZE];
    switch (takeSegment(DIR_SEGMENT_KEY, text, sizeof text, run)) {
    case Taken::Absent:
        // dirvane hands over a cancellation too: no segment means it failed.
        return fail("dirvane left no result");
    case Taken::Failed:
        return Failed;
    case Taken::Copied:
        break;
    }
    DirResult result;
    const void *end = memchr(text, '\0', sizeof text);
    const std::string shown(text, end ? static_cast<const char *>(end) - text : sizeof text);
    if (!end || !parseDirResult(shown, result) || result.status < 1 || result.status > 2 ||
        (result.status == 2 && !result.path.empty()))
        return fail("dirvane left a result that cannot be read: " + shown);

    // Accepted with nothing selected gives status 1 and no path: that is no
    // directory either.
    if (result.status == 2 || result.path.empty()) {
        puts("Directory choice cancelled");
        return Nothing;
    }
    puts(result.path.c_str());
    return Done;
}
