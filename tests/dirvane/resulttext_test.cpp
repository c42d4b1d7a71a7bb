// The JSON result text and its limit: a path must either fit whole or not be
// handed over at all.
#include "resulttext.h"
#include "segment_expect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string format(int status, const std::string &path, bool fits = true)
{
    char text[DIR_SEGMENT_SIZE];
    memset(text, 'x', sizeof text);  // formatting must clear what was there
    EXPECT_EQ(formatResultText(text, status, path.c_str()), fits);
    return std::string(text, sizeof text);
}

TEST(ResultText, StatusAndPathAreInsertedUnchangedAndTheRestIsZero)
{
    EXPECT_EQ(format(2, ""), padded(CANCELLED));
    EXPECT_EQ(format(1, ""), padded("{\"status\":1, \"pathName\":\"\"}"));
    // No escaping: quotes, backslashes and UTF-8 bytes go in as they are.
    const std::string odd = "/home/a\"b\\c/\xE7\x9B\xAE\xE5\xBD\x95";
    EXPECT_EQ(format(1, odd), padded("{\"status\":1, \"pathName\":\"" + odd + "\"}"));
}

TEST(ResultText, LongestPathFillsTheBufferAndALongerOneIsHandedOverAsCancelled)
{
    const std::string longest = "/" + std::string(995, 'd');
    std::string text = format(1, longest);
    EXPECT_EQ(text.find('\0'), 1023u);
    EXPECT_EQ(text.substr(0, 1023), "{\"status\":1, \"pathName\":\"" + longest + "\"}");

    EXPECT_EQ(format(1, longest + "d", false), padded(CANCELLED));
    EXPECT_EQ(format(1, std::string(1023, 'd'), false), padded(CANCELLED));
    EXPECT_EQ(format(1, std::string(5000, 'd'), false), padded(CANCELLED));
}

}  // namespace
