// Any bytes as the service's X authority file: read without a step outside
// them, each record accounting for its bytes exactly, and the entry picked
// for a display one of the records.
#include "xauthority.h"
#include "fuzzcheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    std::vector<XauthEntry> entries;
    if (!parseXauthority(bytes, entries))
        return 0;
    size_t total = 0;
    for (const XauthEntry &e : entries)
        total += 10 + e.address.size() + e.number.size() + e.name.size() + e.data.size();
    check(total == size);
    for (const char *display : {":0", "unix:7.1", "localhost:10", ":", "x"}) {
        const XauthEntry *e = entryForDisplay(entries, display);
        check(!e || (e >= entries.data() && e < entries.data() + entries.size()));
    }
    return 0;
}
