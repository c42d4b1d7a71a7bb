// The display check: the X connection set-up done here, with the cookie
// that the prompt gets, so that the server's reason for a refusal comes back
// to the caller (libxcb would write it to the service's standard error).
#include "xdisplay.h"

#include "error.h"
#include "xauthority.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// How long the server has to answer the set-up.
constexpr auto SETUP_ANSWER = std::chrono::seconds(5);
// An X server that resets as its last client leaves closes the connections
// that come in meanwhile, for a millisecond or so: those are tried again.
constexpr int RESET_TRIES = 50;
constexpr auto RESET_PAUSE = std::chrono::milliseconds(2);

// A socket connected to display, [host]:number[.screen]: on this machine
// the abstract socket, else the one in /tmp/.X11-unix, as libxcb tries
// them; on another host, TCP port 6000 + number. -1 when there is none.
int connectTo(const std::string &display)
{
    std::string host, number;
    if (!splitDisplay(display, host, number) || number.size() > 5)
        return -1;
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + number;
        for (const size_t abstract : {1, 0}) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            memcpy(address.sun_path + abstract, path.c_str(), path.size());
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const socklen_t size =
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + abstract + path.size());
            if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), size) == 0)
                return fd;
            if (fd >= 0)
                close(fd);
        }
        return -1;
    }
    addrinfo *found = nullptr;
    const addrinfo hints{0, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    if (getaddrinfo(host.c_str(), std::to_string(6000 + std::stoi(number)).c_str(), &hints,
                    &found) != 0)
        return -1;
    int fd = -1;
    for (const addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0)
            fd = (close(fd), -1);
    }
    freeaddrinfo(found);
    return fd;
}

enum class Setup { Accepted, Refused, Closed, Silent };

// Reads size bytes into out, waiting until at most until.
Setup readAll(int fd, char *out, size_t size, Clock::time_point until)
{
    for (size_t got = 0; got < size;) {
        pollfd ready{fd, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0)
            return Setup::Silent;
        const ssize_t n = read(fd, out + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Setup::Closed;
        got += static_cast<size_t>(n);
    }
    return Setup::Accepted;
}

void put16(std::string &out, size_t value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8 & 0xFF);
}

// The connection set-up of X11 protocol 11.0, little-endian, with entry's
// cookie or none; the server's reason in reason when it refuses.
Setup setUp(int fd, const XauthEntry *entry, std::string &reason)
{
    // No copy of the cookie: only the request holds one, and it is wiped.
    static const std::string none;
    const std::string &name = entry ? entry->name : none, &data = entry ? entry->data : none;
    std::string request{'l', 0};
    put16(request, 11);
    put16(request, 0);
    put16(request, name.size());
    put16(request, data.size());
    put16(request, 0);
    for (const std::string *field : {&name, &data})
        request += *field + std::string((4 - field->size() % 4) % 4, '\0');
    const bool sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(request.size());
    explicit_bzero(&request[0], request.size());
    if (!sent)
        return Setup::Closed;
    // Status (0 failed, 1 success, 2 authenticate), the reason's length,
    // the protocol version and the length of the rest in 4-byte units.
    unsigned char head[8];
    const auto until = Clock::now() + SETUP_ANSWER;
    Setup got = readAll(fd, reinterpret_cast<char *>(head), sizeof head, until);
    if (got != Setup::Accepted)
        return got;
    std::string rest(4 * (head[6] | head[7] << 8), '\0');
    got = readAll(fd, &rest[0], rest.size(), until);
    if (got != Setup::Accepted || head[0] == 1)
        return got;
    reason = head[0] == 0 ? rest.substr(0, head[1]) : rest;
    reason.erase(reason.find_last_not_of(std::string("\n\0 ", 3)) + 1);
    for (char &c : reason) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return Setup::Refused;
}

}  // namespace

int openDisplay(Call &call)
{
    const std::string &display = call.display;
    if (display.empty()) {
        fail(ZEF_E_DISPLAY, "no display: DISPLAY is not set and none was given");
        return -1;
    }
    // The user's file may lie in our HOME, which is theirs when they were
    // found as its owner, though a root call gives the prompt their own.
    const char *home = getenv("HOME");
    call.xauthority = std::make_shared<XauthorityHandOver>();
    if (!call.xauthority->prepare(call.user, display, home ? home : ""))
        return -1;
    const std::string cannot = "cannot open display " + display;
    const std::string &missing = call.xauthority->missing();
    for (int tries = 0;; ++tries) {
        const int fd = connectTo(display);
        if (fd < 0) {
            fail(ZEF_E_DISPLAY, cannot);
            return -1;
        }
        std::string reason;
        const Setup setup = setUp(fd, call.xauthority->entry(), reason);
        if (setup == Setup::Accepted)
            return fd;
        close(fd);
        if (setup == Setup::Refused) {
            fail(ZEF_E_DISPLAY, cannot + ": " + (reason.empty() ? "refused" : reason) +
                                    (missing.empty() ? "" : " (" + missing + ")"));
            return -1;
        }
        if (setup == Setup::Silent || tries == RESET_TRIES) {
            fail(ZEF_E_DISPLAY, cannot + ": the X server does not answer");
            return -1;
        }
        std::this_thread::sleep_for(RESET_PAUSE);
    }
}
