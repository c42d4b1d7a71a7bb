#include "session.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

#ifdef ZEF_HAVE_SD_LOGIN
#include <systemd/sd-login.h>

namespace {

// ":0" and ":0.0" are one display.
std::string withoutScreen(const std::string &name)
{
    const size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(0, name.find('.', colon));
}

std::string displayOf(const char *session)
{
    char *text = nullptr;
    const std::string out = sd_session_get_display(session, &text) >= 0 && text ? text : "";
    free(text);
    return out;
}

// A greeter's or a lock screen's session is nobody's desktop.
bool isUsers(const char *session)
{
    char *kind = nullptr;
    const bool users = sd_session_get_class(session, &kind) >= 0 && kind && strcmp(kind, "user") == 0;
    free(kind);
    return users;
}

// The process that started a session, from logind's record of it, which
// sd-login reads too but libsystemd before 254 gives no call for.
pid_t leaderOf(const char *session)
{
    std::ifstream record(std::string("/run/systemd/sessions/") + session);
    for (std::string line; std::getline(record, line);) {
        if (line.compare(0, 7, "LEADER=") == 0 && line.size() > 7 && line.size() < 17 &&
            line.find_first_not_of("0123456789", 7) == std::string::npos)
            return static_cast<pid_t>(std::stol(line.substr(7)));
    }
    return 0;
}

}  // namespace

bool desktopSession(const std::string &display, uid_t &uid, std::string &sessionDisplay)
{
    std::string chosen;
    char **sessions = nullptr;
    const int count = display.empty() ? 0 : sd_get_sessions(&sessions);
    for (int i = 0; i < count; ++i) {
        if (chosen.empty() && isUsers(sessions[i]) &&
            withoutScreen(displayOf(sessions[i])) == withoutScreen(display))
            chosen = sessions[i];
        free(sessions[i]);
    }
    free(sessions);
    char *active = nullptr;
    if (chosen.empty() && sd_seat_get_active("seat0", &active, nullptr) >= 0 && active &&
        isUsers(active))
        chosen = active;
    free(active);
    if (chosen.empty() || sd_session_get_uid(chosen.c_str(), &uid) < 0)
        return false;
    sessionDisplay = displayOf(chosen.c_str());
    return true;
}

bool logindRuns()
{
    struct stat st;
    return stat("/run/systemd/seats", &st) == 0 && S_ISDIR(st.st_mode);
}

bool sessionOnDisplay(uid_t uid, const std::string &display, pid_t &leader)
{
    leader = 0;
    bool found = false;
    char **sessions = nullptr;
    const int count = display.empty() ? 0 : sd_get_sessions(&sessions);
    for (int i = 0; i < count; ++i) {
        uid_t owner = 0;
        if (!found && sd_session_get_uid(sessions[i], &owner) >= 0 && owner == uid &&
            withoutScreen(displayOf(sessions[i])) == withoutScreen(display)) {
            found = true;
            leader = leaderOf(sessions[i]);
        }
        free(sessions[i]);
    }
    free(sessions);
    return found;
}
#else
bool desktopSession(const std::string &, uid_t &, std::string &)
{
    return false;
}

bool logindRuns()
{
    return false;
}

bool sessionOnDisplay(uid_t, const std::string &, pid_t &leader)
{
    leader = 0;
    return false;
}
#endif
