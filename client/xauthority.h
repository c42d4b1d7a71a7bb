// The X authority that a prompt gets: the one entry of the service's
// XAUTHORITY for the prompt's display, or, when the service has none (a
// root service started by systemd), of the file where the prompt user's
// desktop session keeps it, in a memfd that the prompt inherits. Nothing
// lies on disk, so nothing stays behind when the service is killed, and no
// other cookie is handed over.
#pragma once

#include "settings.h"

#include <string>
#include <vector>

// One record of an X authority file.
struct XauthEntry {
    unsigned family = 0;
    std::string address, number, name, data;
};
// The host and the number of display, [host]:number[.screen]; false when it
// is no X display.
bool splitDisplay(const std::string &display, std::string &host, std::string &number);
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
    // for display from it. Without ours, the entry for display from the
    // first of the user's files that has one: the XAUTHORITY of their
    // session on display, /run/user/UID/gdm/Xauthority, home/.Xauthority
    // and the one in their home of the user database. Such a file must be
    // theirs; run as root where logind runs, the entry goes only to a user
    // who has a session on display. False, reported, when ours cannot be
    // used.
    bool prepare(const PromptUser &user, const std::string &display, const std::string &home);
    // XAUTHORITY for the prompt: empty for none.
    const std::string &path() const { return m_path; }
    // The memfd that the prompt gets as KEPT_FD, or -1.
    int fd() const { return m_fd; }
    // The entry that the prompt will use, for the display check; null when
    // none is known.
    const XauthEntry *entry() const { return m_entry.name.empty() ? nullptr : &m_entry; }
    // Why none of the user's was taken, for the display check's error line.
    const std::string &missing() const { return m_missing; }

private:
    void findUsers(const PromptUser &user, const std::string &display, const std::string &home);
    bool handOver(const XauthEntry &entry, std::string &error);

    std::string m_path;
    int m_fd = -1;
    XauthEntry m_entry;
    std::string m_missing;
};
