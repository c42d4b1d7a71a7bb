// The two-pass percent-decoding of the chooser's input files, on the cases
// that matter and on random texts encoded by an encoder of the test's own.
#include "certlist.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace std::string_literals;

TEST(FromHex, DigitsAndAllLettersOfEitherCase)
{
    EXPECT_EQ(FromHex('0'), 0);
    EXPECT_EQ(FromHex('9'), 9);
    EXPECT_EQ(FromHex('A'), 10);
    EXPECT_EQ(FromHex('f'), 15);
    EXPECT_EQ(FromHex('G'), 16);
    EXPECT_EQ(FromHex('z'), 35);
    for (unsigned char x : {'%', '/', ':', '@', '[', '`', '{', ' ', '\0', '\x80', '\xff'})
        EXPECT_EQ(FromHex(x), kNoHexValue) << int(x);
}

TEST(DecodeURIComponent, OnePass)
{
    EXPECT_EQ(DecodeURIComponent(""), "");
    EXPECT_EQ(DecodeURIComponent("plain {\"a\":1}"), "plain {\"a\":1}");
    // An escape that ends exactly at the end of the input.
    EXPECT_EQ(DecodeURIComponent("A%41"), "AA");
    EXPECT_EQ(DecodeURIComponent("%ff%FF%fF"), "\xff\xff\xff");
    // Letters beyond F: (16 * 16 + 0) and (35 * 16 + 35), modulo 256.
    EXPECT_EQ(DecodeURIComponent("%G0"), "\0"s);
    EXPECT_EQ(DecodeURIComponent("%ZZ"), "\x53");
    EXPECT_EQ(DecodeURIComponent("a+b"), "a+b");
    EXPECT_EQ(DecodeURIComponent("\xe4\xb8\xad%00x"), "\xe4\xb8\xad\0x"s);
    EXPECT_EQ(DecodeURIComponent("%2541"), "%41");
}

TEST(DecodeURIComponent, MalformedEscapesAreCopiedThrough)
{
    const std::pair<std::string, std::string> cases[] = {
        {"%", "%"}, {"%4", "%4"}, {"a%", "a%"}, {"100%", "100%"}, {"%-1", "%-1"}, {"%1 ", "%1 "},
        {"%\xff\x41", "%\xff\x41"}, {"%\0A"s, "%\0A"s},
        // The next '%' still starts an escape of its own.
        {"%%41", "%A"}, {"%4%41", "%4A"}};
    for (const auto &[in, out] : cases)
        EXPECT_EQ(DecodeURIComponent(in), out) << in;
}

TEST(JsonUrlDecode, TwoPasses)
{
    EXPECT_EQ(JsonUrlDecode(""), "");
    EXPECT_EQ(JsonUrlDecode("[{\"DN\":\"CN=a+b\"}]"), "[{\"DN\":\"CN=a+b\"}]");
    EXPECT_EQ(JsonUrlDecode("%2541"), "A");
    EXPECT_EQ(JsonUrlDecode("%25E4%25B8%25AD"), "\xe4\xb8\xad");
    EXPECT_EQ(JsonUrlDecode("%2525"), "%");
    // Encoded once only: the second pass finds nothing left to do.
    EXPECT_EQ(JsonUrlDecode("%E4%B8%AD"), "\xe4\xb8\xad");
    // A '%' that only the first pass produces, with nothing behind it.
    EXPECT_EQ(JsonUrlDecode("100%25"), "100%");
}

// One pass of encoding: every '%' and a random share of the other bytes
// become an escape with upper- or lower-case digits.
std::string encode(const std::string &s, std::mt19937 &rng)
{
    static const char upper[] = "0123456789ABCDEF";
    static const char lower[] = "0123456789abcdef";
    std::string out;
    for (char c : s) {
        if (c != '%' && rng() % 2) {
            out += c;
            continue;
        }
        const char *digits = rng() % 2 ? upper : lower;
        const auto b = static_cast<unsigned char>(c);
        out += '%';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(JsonUrlDecode, UndoesTwoPassesOfEncodingOnRandomBytes)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 5000; ++round) {
        std::string raw(rng() % 40, '\0');
        for (char &c : raw)
            c = static_cast<char>(rng() % 4 ? "%A1z+ \xe4"[rng() % 7] : rng() % 256);
        const std::string once = encode(raw, rng);
        const std::string twice = encode(once, rng);
        ASSERT_EQ(DecodeURIComponent(twice), once) << twice;
        ASSERT_EQ(JsonUrlDecode(twice), raw) << twice;
    }
}

}  // namespace
