// The X authority handed to a prompt of another user.
#include "xauthority.h"

#include "child.h"
#include "homefile.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// An X authority file holds a few entries of some dozen bytes each.
const size_t XAUTHORITY_MAX_SIZE = 1 << 20;
// The families of the records, as the X libraries number them.
enum Family : unsigned { Internet = 0, Internet6 = 6, Local = 256, Wild = 65535 };

// Opens path for reading, following no link anywhere in it: a folder of
// the path that its user swapped for a link would lead us, with our rights,
// into a folder of someone else's.
int openWithoutLinks(const char *path)
{
    open_how how{};
    how.flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const int fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
    if (fd >= 0 || errno != ENOSYS)
        return fd;
    // A kernel before 5.6: folder by folder, none of them a link.
    int dir = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const std::string whole = path;
    size_t at = whole.find_first_not_of('/');
    while (dir >= 0 && at != std::string::npos) {
        const size_t end = whole.find('/', at);
        const std::string name = whole.substr(at, end - at);
        at = whole.find_first_not_of('/', end);
        const int flags = at == std::string::npos ? how.flags
                                                  : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        const int next = openat(dir, name.c_str(), static_cast<int>(flags));
        close(dir);
        if (next < 0 || at == std::string::npos)
            return next;
        dir = next;
    }
    if (dir >= 0)
        close(dir);
    errno = EISDIR;
    return -1;
}

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

const XauthEntry *entryForDisplay(const std::vector<XauthEntry> &entries,
                                  const std::string &display)
{
    // [host]:number[.screen]
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return nullptr;
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return nullptr;
    const auto addresses = addressesOf(display.substr(0, colon));
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
    if (m_fd >= 0)
        close(m_fd);
}

bool XauthorityHandOver::prepare(const PromptUser &user, const std::string &display)
{
    const char *ours = getenv("XAUTHORITY");
    struct stat st;
    if (!ours || !*ours)
        return true;
    if (user.uid == geteuid() || (stat(ours, &st) == 0 && st.st_uid == user.uid)) {
        m_path = ours;
        return true;
    }
    auto refuse = [&](const std::string &why) {
        fail(std::string("cannot hand XAUTHORITY over: ") + ours + " " + why);
        return false;
    };
    const int file = openWithoutLinks(ours);
    if (file < 0)
        return refuse(std::string("cannot be opened without following a link: ") +
                      strerror(errno));
    std::string bytes;
    int error = 0;
    const bool regular = fstat(file, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && (st.st_uid == 0 || st.st_uid == geteuid()) &&
        static_cast<size_t>(st.st_size) <= XAUTHORITY_MAX_SIZE) {
        bytes.resize(static_cast<size_t>(st.st_size));
        bytes.resize(readHomeFileBytes(file, &bytes[0], bytes.size(), error));
    }
    close(file);
    // Another user's file could hold what they like, for us to hand on as
    // the display's cookie.
    if (!regular || (st.st_uid != 0 && st.st_uid != geteuid()))
        return refuse("is no regular file of root's or ours");
    if (static_cast<size_t>(st.st_size) > XAUTHORITY_MAX_SIZE)
        return refuse("is larger than " + std::to_string(XAUTHORITY_MAX_SIZE) + " bytes");
    std::vector<XauthEntry> entries;
    if (error != 0)
        return refuse(std::string("cannot be read: ") + strerror(error));
    if (!parseXauthority(bytes, entries))
        return refuse("is no X authority file");
    explicit_bzero(&bytes[0], bytes.size());
    const XauthEntry *entry = entryForDisplay(entries, display);
    if (!entry)
        return refuse("holds no entry for display \"" + display + "\"");

    std::string record = recordOf(*entry);
    m_fd = memfd_create("Xauthority", MFD_CLOEXEC);
    const bool written = m_fd >= 0 && write(m_fd, record.data(), record.size()) ==
                                          static_cast<ssize_t>(record.size());
    error = errno;
    explicit_bzero(&record[0], record.size());
    for (XauthEntry &e : entries)
        explicit_bzero(&e.data[0], e.data.size());
    if (!written)
        return refuse(std::string("cannot be copied: ") + strerror(error));
    m_path = "/proc/self/fd/" + std::to_string(KEPT_FD);
    return true;
}
