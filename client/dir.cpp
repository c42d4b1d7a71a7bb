// A directory choice through dirvane: its result text read back.
#include "dir.h"

#include "error.h"

#include <cstring>

std::string refusePathBuffer(const Answer &answer)
{
    return answer.text && answer.size > 0 ? std::string()
                                          : "no buffer for the answer of dirvane";
}

int decodeDirectory(const std::string &handed, const Request &, const Answer &answer)
{
    // dirvane hands over a cancellation too: nothing handed over means it
    // failed.
    if (handed.empty())
        return fail(ZEF_E_PROMPT, "dirvane left no result" + promptSaid());
    DirResult result;
    const std::string shown = handed.substr(0, handed.find('\0'));
    if (shown.size() == handed.size() || !parseDirResult(shown, result) || result.status < 1 ||
        result.status > 2 || (result.status == 2 && !result.path.empty()))
        return fail(ZEF_E_PROMPT, "dirvane left a result that cannot be read: " + shown);

    // Accepted with nothing selected gives status 1 and no path: that is no
    // directory either.
    if (result.status == 2 || result.path.empty())
        return ZEF_CANCELLED;
    if (result.path.size() >= answer.size)
        return fail("the path does not fit a buffer of " + std::to_string(answer.size) + " bytes");
    memcpy(answer.text, result.path.c_str(), result.path.size() + 1);
    return ZEF_CHOSEN;
}

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
