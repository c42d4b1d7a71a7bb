// The X authority handed to a prompt of another user.
#include "xauthority.h"

#include "channel.h"
#include "error.h"
#include "homefile.h"
#include "safeopen.h"
#include "session.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An X authority file holds a few entries of some dozen bytes each.
const size_t XAUTHORITY_MAX_SIZE = 1 << 20;
// The families of the records, as the X libraries number them.
enum Family : unsigned { Internet = 0, Internet6 = 6, Local = 256, Wild = 65535 };

unsigned bigEndian16(const std::string &bytes, size_t at)
{
    return static_cast<unsigned char>(bytes[at]) << 8 | static_cast<unsigned char>(bytes[at + 1]);
}

void putBigEndian16(std::string &out, size_t value)
{
    out += static_cast<char>(value >> 8 & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

std::string recordOf(const XauthEntry &entry)
{
    std::string out;
    putBigEndian16(out, entry.family);
    for (const std::string *field : {&entry.address, &entry.number, &entry.name, &entry.data}) {
        putBigEndian16(out, field->size());
        out += *field;
    }
    return out;
}

// The families and addresses under which a client of a display on host
// looks its cookie up: a local connection, a loopback address included, by
// this machine's name; any other by the host's address.
std::vector<std::pair<unsigned, std::string>> addressesOf(const std::string &host)
{
    std::vector<std::pair<unsigned, std::string>> out;
    bool local = host.empty() || host == "unix" || host == "localhost";
    addrinfo *found = nullptr;
    const addrinfo hints{0, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    if (!local && getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
        for (const addrinfo *a = found; a; a = a->ai_next) {
            if (a->ai_family == AF_INET) {
                const in_addr &ip = reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr;
                if (ip.s_addr == htonl(INADDR_LOOPBACK))
                    local = true;
                else
                    out.emplace_back(Internet, std::string(reinterpret_cast<const char *>(&ip), 4));
            } else if (a->ai_family == AF_INET6) {
                const in6_addr &ip = reinterpret_cast<const sockaddr_in6 *>(a->ai_addr)->sin6_addr;
                const char *bytes = reinterpret_cast<const char *>(&ip);
                if (IN6_IS_ADDR_LOOPBACK(&ip))
                    local = true;
                else if (IN6_IS_ADDR_V4MAPPED(&ip))
                    out.emplace_back(Internet, std::string(bytes + 12, 4));
                else
                    out.emplace_back(Internet6, std::string(bytes, 16));
            }
        }
        freeaddrinfo(found);
    }
    char name[256] = {};
    if (local && gethostname(name, sizeof name - 1) == 0)
        out.emplace_back(Local, name);
    return out;
}

const char NOT_OWNED[] = "is no regular file of its owner's";

// The cookies of entries, wiped before they are let go.
void wipe(std::vector<XauthEntry> &entries)
{
    for (XauthEntry &e : entries)
        explicit_bzero(&e.data[0], e.data.size());
}

// Reads the X authority file path, opened through no link, into entries:
// a regular file of one of owners, of at most XAUTHORITY_MAX_SIZE bytes.
// Returns what is wrong with it (NOT_OWNED for a file of anyone else's), or
// an empty text.
std::string readXauthority(const char *path, const std::vector<uid_t> &owners,
                           std::vector<XauthEntry> &entries)
{
    entries.clear();
    // A folder of the path that its user swapped for a link would lead us,
    // with our rights, into a folder of someone else's.
    struct stat st;
    const int file = openWithoutLinks(AT_FDCWD, path, O_RDONLY, NoLinkOnTheWay, 0, &st);
    if (file < 0)
        return std::string("cannot be opened without following a link: ") + strerror(errno);
    std::string bytes;
    int error = 0;
    const bool regular = S_ISREG(st.st_mode);
    const bool owned = regular && std::find(owners.begin(), owners.end(), st.st_uid) != owners.end();
    if (owned && static_cast<size_t>(st.st_size) <= XAUTHORITY_MAX_SIZE) {
        bytes.resize(static_cast<size_t>(st.st_size));
        bytes.resize(readHomeFileBytes(file, &bytes[0], bytes.size(), error));
    }
    close(file);
    std::string wrong;
    if (!owned)
        wrong = NOT_OWNED;
    else if (static_cast<size_t>(st.st_size) > XAUTHORITY_MAX_SIZE)
        wrong = "is larger than " + std::to_string(XAUTHORITY_MAX_SIZE) + " bytes";
    else if (error != 0)
        wrong = std::string("cannot be read: ") + strerror(error);
    else if (!parseXauthority(bytes, entries))
        wrong = "is no X authority file";
    explicit_bzero(&bytes[0], bytes.size());
    return wrong;
}

// The value of name in the environment of the process pid, or an empty text.
std::string environmentOf(pid_t pid, const std::string &name)
{
    const int file = open(("/proc/" + std::to_string(pid) + "/environ").c_str(),
                          O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return {};
    std::string bytes(XAUTHORITY_MAX_SIZE, '\0');
    int error = 0;
    bytes.resize(readHomeFileBytes(file, &bytes[0], bytes.size(), error));
    close(file);
    const std::string wanted = name + "=";
    for (size_t at = 0; at < bytes.size();) {
        const size_t end = std::min(bytes.find('\0', at), bytes.size());
        if (bytes.compare(at, wanted.size(), wanted) == 0)
            return bytes.substr(at + wanted.size(), end - at - wanted.size());
        at = end + 1;
    }
    return {};
}

}  // namespace

bool parseXauthority(const std::string &bytes, std::vector<XauthEntry> &entries)
{
    entries.clear();
    for (size_t at = 0; at < bytes.size();) {
        if (bytes.size() - at < 2)
            return false;
        XauthEntry entry;
        entry.family = bigEndian16(bytes, at);
        at += 2;
        for (std::string *field : {&entry.address, &entry.number, &entry.name, &entry.data}) {
            if (bytes.size() - at < 2 || bytes.size() - at - 2 < bigEndian16(bytes, at))
                return false;
            *field = bytes.substr(at + 2, bigEndian16(bytes, at));
            at += 2 + field->size();
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

bool splitDisplay(const std::string &display, std::string &host, std::string &number)
{
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = display.substr(0, colon);
    number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    return !number.empty() && number.find_first_not_of("0123456789") == std::string::npos;
}

const XauthEntry *entryForDisplay(const std::vector<XauthEntry> &entries,
                                  const std::string &display)
{
    std::string host, number;
    if (!splitDisplay(display, host, number))
        return nullptr;
    const auto addresses = addressesOf(host);
    for (const XauthEntry &e : entries) {
        bool address = e.family == Wild;
        for (const auto &[family, bytes] : addresses)
            address = address || (e.family == family && e.address == bytes);
        if (address && (e.number.empty() || e.number == number) &&
            (e.name == "MIT-MAGIC-COOKIE-1" || e.name == "XDM-AUTHORIZATION-1"))
            return &e;
    }
    return nullptr;
}

XauthorityHandOver::~XauthorityHandOver()
{
    explicit_bzero(&m_entry.data[0], m_entry.data.size());
    if (m_fd >= 0)
        close(m_fd);
}

bool XauthorityHandOver::handOver(const XauthEntry &entry, std::string &error)
{
    std::string record = recordOf(entry);
    m_fd = memfd_create("Xauthority", MFD_CLOEXEC);
    const bool written = m_fd >= 0 && write(m_fd, record.data(), record.size()) ==
                                          static_cast<ssize_t>(record.size());
    error = strerror(errno);
    explicit_bzero(&record[0], record.size());
    if (!written) {
        if (m_fd >= 0)
            m_fd = (close(m_fd), -1);
        return false;
    }
    m_entry = entry;
    m_path = "/proc/self/fd/" + std::to_string(KEPT_FD);
    return true;
}

bool XauthorityHandOver::prepare(const PromptUser &user, const std::string &display,
                                 const std::string &home)
{
    std::vector<XauthEntry> entries;
    const char *ours = getenv("XAUTHORITY");
    struct stat st;
    if (!ours || !*ours) {
        findUsers(user, display, home);
        return true;
    }
    if (user.uid == geteuid() || (stat(ours, &st) == 0 && st.st_uid == user.uid)) {
        m_path = ours;
        // The check reads it as the prompt will, if it can.
        const XauthEntry *entry = nullptr;
        if (readXauthority(ours, {0, geteuid(), user.uid}, entries).empty() &&
            (entry = entryForDisplay(entries, display)))
            m_entry = *entry;
        wipe(entries);
        return true;
    }
    auto refuse = [&](const std::string &why) {
        wipe(entries);
        fail(std::string("cannot hand XAUTHORITY over: ") + ours + " " + why);
        return false;
    };
    // Another user's file could hold what they like, for us to hand on as
    // the display's cookie.
    const std::string wrong = readXauthority(ours, {0, geteuid()}, entries);
    if (!wrong.empty())
        return refuse(wrong == NOT_OWNED ? "is no regular file of root's or ours" : wrong);
    const XauthEntry *entry = entryForDisplay(entries, display);
    if (!entry)
        return refuse("holds no entry for display \"" + display + "\"");
    std::string error;
    if (!handOver(*entry, error))
        return refuse("cannot be copied: " + error);
    wipe(entries);
    return true;
}

void XauthorityHandOver::findUsers(const PromptUser &user, const std::string &display,
                                   const std::string &home)
{
    pid_t leader = 0;
    const bool claimed = sessionOnDisplay(user.uid, display, leader);
    // Root reads the user's files for them; a cookie of a display that is
    // not theirs is not handed to them, whatever their files hold.
    if (geteuid() == 0 && logindRuns() && !claimed) {
        m_missing = user.name + " has no session on " + display;
        return;
    }
    std::vector<std::string> places;
    if (leader > 0)
        places.push_back(environmentOf(leader, "XAUTHORITY"));
    places.push_back("/run/user/" + std::to_string(user.uid) + "/gdm/Xauthority");
    for (const std::string *folder : {&home, &user.home}) {
        if (!folder->empty())
            places.push_back(*folder + "/.Xauthority");
    }
    for (const std::string &place : places) {
        std::vector<XauthEntry> entries;
        const XauthEntry *entry = nullptr;
        std::string error;
        // Only the user's own: a path that their session's environment names
        // could lead to anyone's file.
        if (!place.empty() && readXauthority(place.c_str(), {user.uid}, entries).empty())
            entry = entryForDisplay(entries, display);
        const bool handed = entry && handOver(*entry, error);
        wipe(entries);
        if (handed)
            return;
    }
    m_missing = "no cookie of " + user.name + "'s for it";
}
