// The X authority that a prompt of another user gets: the one entry of the
// service's XAUTHORITY for the prompt's display, in a memfd that the prompt
// inherits. Nothing lies on disk, so nothing stays behind when the service
// is killed, and no other cookie of the service's is handed over.
#pragma once

#include "client.h"

// One record of an X authority file.
struct XauthEntry {
    unsigned family = 0;
    std::string address, number, name, data;
};
// The records of an X authority file: each is its family (2 bytes,
// big-endian), then its address, display number, name and data, each a
// 2-byte big-endian length and as many bytes. False when the bytes are no
// such records.
bool parseXauthority(const std::string &bytes, std::vector<XauthEntry> &entries);
// The entry that a client of display looks its cookie up in, as the X
// libraries choose it; null when there is none or display is no X display.
const XauthEntry *entryForDisplay(const std::vector<XauthEntry> &entries,
                                  const std::string &display);

class XauthorityHandOver {
public:
    XauthorityHandOver() = default;
    XauthorityHandOver(const XauthorityHandOver &) = delete;
    XauthorityHandOver &operator=(const XauthorityHandOver &) = delete;
    ~XauthorityHandOver();

    // The prompt user gets our XAUTHORITY as it is when they may read it
    // with their own rights (it is theirs, or we are they); else the entry
    // for display from it. False, reported, when that cannot be done.
    bool prepare(const PromptUser &user, const std::string &display);
    // XAUTHORITY for the prompt: empty for none.
    const std::string &path() const { return m_path; }
    // The memfd that the prompt gets as KEPT_FD, or -1.
    int fd() const { return m_fd; }

private:
    std::string m_path;
    int m_fd = -1;
};
