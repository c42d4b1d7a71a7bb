// The directory chooser's result text for arbitrary paths of up to 4 KiB:
// always terminated within the segment, and either the whole path or the
// cancel result.
#include "resulttext.h"
#include "fuzzcheck.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string resultText(int status, const std::string &path)
{
    return "{\"status\":" + std::to_string(status) + ", \"pathName\":\"" + path + "\"}";
}

}  // namespace

// Input: four bytes of status (the program passes 1 or 2; any int must be
// safe), then the path bytes; the path ends at its first NUL, as in the
// program's path buffer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4 || size > 4 + 4096)
        return 0;
    int status;
    memcpy(&status, data, sizeof status);
    const std::string path(reinterpret_cast<const char *>(data + 4), size - 4);
    const std::string terminated = path.c_str();

    char text[DIR_SEGMENT_SIZE];
    memset(text, 'x', sizeof text);
    const bool fits = formatResultText(text, status, path.c_str());

    const void *nul = memchr(text, '\0', sizeof text);
    check(nul != nullptr);
    const size_t length = static_cast<const char *>(nul) - text;
    check(std::all_of(text + length, text + sizeof text, [](char c) { return c == '\0'; }));

    const std::string whole = resultText(status, terminated);
    if (fits)
        check(std::string(text, length) == whole);
    else
        check(whole.size() >= sizeof text && std::string(text, length) == resultText(2, ""));
    return 0;
}
