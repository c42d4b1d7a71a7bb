// A directory choice through dirvane.
#include "client.h"

#include <cstring>

namespace {

// dirvane loads its Chinese texts from translations/ in its working folder,
// which the installation puts beside the program.
// Never destroyed (see Turn).
SegmentPrompt &g_dirvane =
    *new SegmentPrompt{PromptKind::Directory, "dirvane", DIR_SEGMENT_SIZE, true, {}};

int finishDirectory(zef_call *call, char *out, size_t size)
{
    char text[DIR_SEGMENT_SIZE];
    const int asked = finishSegmentPrompt(g_dirvane, call, out, size, text);
    // dirvane hands over a cancellation too: nothing handed over means it
    // failed.
    if (asked == NO_SEGMENT)
        return fail(ZEF_E_PROMPT, "dirvane left no result" + promptSaid());
    if (asked != HANDED_OVER)
        return asked;
    DirResult result;
    const void *end = memchr(text, '\0', sizeof text);
    const std::string shown(text, end ? static_cast<const char *>(end) - text : sizeof text);
    if (!end || !parseDirResult(shown, result) || result.status < 1 || result.status > 2 ||
        (result.status == 2 && !result.path.empty()))
        return fail(ZEF_E_PROMPT, "dirvane left a result that cannot be read: " + shown);

    // Accepted with nothing selected gives status 1 and no path: that is no
    // directory either.
    if (result.status == 2 || result.path.empty())
        return ZEF_CANCELLED;
    if (result.path.size() >= size)
        return fail("the path does not fit a buffer of " + std::to_string(size) + " bytes");
    memcpy(out, result.path.c_str(), result.path.size() + 1);
    return ZEF_CHOSEN;
}

}  // namespace

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

extern "C" int zef_start_directory(const zef_options *options, zef_call **call)
{
    return guarded([&] { return startSegmentPrompt(g_dirvane, options, call); });
}

extern "C" int zef_finish_directory(zef_call *call, char *path, size_t size)
{
    return guarded([&] { return finishDirectory(call, path, size); });
}

extern "C" int zef_choose_directory(char *path, size_t size, const zef_options *options)
{
    return guarded([&] {
        zef_call *call = nullptr;
        const int started = startSegmentPrompt(g_dirvane, options, &call);
        if (started != ZEF_CHOSEN && path)
            memset(path, 0, size);
        return started != ZEF_CHOSEN ? started : finishDirectory(call, path, size);
    });
}
