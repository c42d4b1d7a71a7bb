// The chooser's percent-decoding on arbitrary bytes: one pass, two passes,
// and the encoding of the input undone.
#include "certlist.h"
#include "fuzzcheck.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Escapes that one pass decodes: a '%' with two ASCII letters or digits
// after it, counted from the left, each escape ending where the next scan
// starts.
size_t escapes(const std::string &s)
{
    size_t count = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isalnum(static_cast<unsigned char>(s[i + 1])) &&
            isalnum(static_cast<unsigned char>(s[i + 2]))) {
            ++count;
            i += 2;
        }
    }
    return count;
}

// Every byte as an escape, with the digits in the case that b picks.
std::string encodeAll(const std::string &s, bool lower)
{
    const char *digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    for (char c : s) {
        const auto b = static_cast<unsigned char>(c);
        out += '%';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string s(reinterpret_cast<const char *>(data), size);

    const std::string once = DecodeURIComponent(s);
    check(once.size() == s.size() - 2 * escapes(s));
    const std::string twice = JsonUrlDecode(s);
    if (s.find('%') == std::string::npos)
        check(once == s && twice == s);
    if (once.find('%') == std::string::npos)
        check(twice == once);

    // Whatever the bytes, encoding them once or twice and decoding gives
    // them back.
    const bool lower = size > 0 && data[0] & 1;
    const std::string encoded = encodeAll(s, lower);
    check(DecodeURIComponent(encoded) == s);
    check(JsonUrlDecode(encodeAll(encoded, !lower)) == s);
    return 0;
}
