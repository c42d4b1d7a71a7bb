#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace harness {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const EnvChanges &changes)
{
    std::map<std::string, std::string> env;
    for (char **e = environ; *e; ++e) {
        const char *eq = std::strchr(*e, '=');
        if (eq)
            env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto &[name, value] : changes) {
        if (value)
            env[name] = *value;
        else
            env.erase(name);
    }
    std::vector<std::string> out;
    for (const auto &[name, value] : env)
        out.push_back(name + "=" + value);
    return out;
}

std::vector<char *> cStrings(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (auto &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// fork with the child's standard output and error on outFd; the child runs
// body and ends with _exit(code) if body returns.
pid_t spawn(int outFd, const std::function<void()> &body, int code)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(outFd, STDERR_FILENO);
        body();
        fflush(stdout);
        _exit(code);
    }
    return pid;
}

// A file for a child's output; its descriptor is returned, its name kept.
int outputFile(std::string &name)
{
    char tmpl[] = "/tmp/zefout-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    name = tmpl;
    return fd;
}

}  // namespace

TempDir::TempDir()
{
    char tmpl[] = "/tmp/zeftest-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void TempDir::write(const std::string &name, const std::string &bytes) const
{
    std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::string> TempDir::read(const std::string &name) const
{
    return readFile(file(name));
}

std::optional<std::string> readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> out;
    std::ifstream f(path, std::ios::binary);
    for (std::string line; std::getline(f, line);)
        out.push_back(line);
    return out;
}

Child::Child(const std::vector<std::string> &argv, const EnvChanges &env,
             const std::string &cwd, const std::function<void()> &setup)
{
    // Everything the child needs is built before the fork.
    std::vector<std::string> args = argv;
    std::vector<std::string> envStrings = mergedEnvironment(env);
    std::vector<char *> cArgv = cStrings(args);
    std::vector<char *> cEnv = cStrings(envStrings);
    int fd = outputFile(m_outFile);
    m_pid = spawn(fd, [&] {
        if (setup)
            setup();
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execvpe(cArgv[0], cArgv.data(), cEnv.data());
    }, 127);
    close(fd);
}

Child::Child(const std::function<void()> &fn)
{
    int fd = outputFile(m_outFile);
    m_pid = spawn(fd, fn, RETURNED);
    close(fd);
}

Child::~Child()
{
    if (!m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    unlink(m_outFile.c_str());
}

std::optional<int> Child::wait(int timeoutMs)
{
    // A child collected before (by running(), say) keeps its status.
    if (m_reaped)
        return m_status;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = waitpid(m_pid, &m_status, WNOHANG);
        if (r == m_pid) {
            m_reaped = true;
            return m_status;
        }
        if (r < 0 && errno != EINTR)
            return std::nullopt;
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<int> Child::exitStatus(int timeoutMs)
{
    const std::optional<int> status = wait(timeoutMs);
    if (status && WIFEXITED(*status))
        return WEXITSTATUS(*status);
    return std::nullopt;
}

pid_t childOf(pid_t parent)
{
    // Any of its threads may have started it. A child that still runs the
    // parent's program (a helper it forked, or the prompt before its exec)
    // or has ended is not it.
    const std::string tasks = "/proc/" + std::to_string(parent) + "/task";
    const auto program = [](pid_t pid) {
        std::error_code ec;
        return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    };
    const std::filesystem::path parentProgram = program(parent);
    for (int i = 0; i < 200; ++i) {
        std::error_code ec;
        for (const auto &task : std::filesystem::directory_iterator(tasks, ec)) {
            std::ifstream children(task.path() / "children");
            for (pid_t pid = 0; children >> pid;) {
                const std::filesystem::path childProgram = program(pid);
                if (!childProgram.empty() && childProgram != parentProgram)
                    return pid;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

bool Child::running()
{
    return !m_reaped && !wait(0);
}

std::string Child::output() const
{
    return readFile(m_outFile).value_or("");
}

namespace {

Result finish(Child &child, int timeoutMs)
{
    Result r;
    std::optional<int> status = child.wait(timeoutMs);
    if (status && WIFEXITED(*status))
        r.status = WEXITSTATUS(*status);
    r.out = child.output();
    return r;
}

}  // namespace

Result run(const std::vector<std::string> &argv, const EnvChanges &env,
           const std::string &cwd, int timeoutMs)
{
    Child child(argv, env, cwd);
    return finish(child, timeoutMs);
}

Result run(const std::function<void()> &fn, int timeoutMs)
{
    Child child(fn);
    return finish(child, timeoutMs);
}

std::string captureStdout(const std::function<void()> &fn)
{
    char tmpl[] = "/tmp/zefstdout-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    const std::string out = readFile(tmpl).value_or("");
    unlink(tmpl);
    return out;
}

bool privateMountNamespace()
{
    // Without MS_PRIVATE the new mounts would still propagate to the host.
    return unshare(CLONE_NEWNS) == 0
        && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool privateIpcNamespace()
{
    return unshare(CLONE_NEWIPC) == 0;
}

bool becomeNobody()
{
    return setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0;
}

bool privateTmpfs(const std::string &folder, const std::string &options)
{
    if (!privateMountNamespace())
        return false;
    // The trees below the folder are held open across the mount and bound
    // back at their places through those descriptors. They are opened in the
    // new namespace: a bind mount takes no source from another.
    std::vector<std::pair<std::string, int>> kept;
    for (const std::string tree : {ZEF_SOURCE_DIR, ZEF_BINARY_DIR}) {
        if (tree.rfind(folder + "/", 0) == 0)
            kept.emplace_back(tree, open(tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    const bool mounted = mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
    bool ok = mounted;
    for (const auto &[tree, fd] : kept) {
        std::error_code ec;
        // A build tree inside the source tree is back with it already.
        ok = ok && fd >= 0 &&
             (std::filesystem::exists(tree, ec) ||
              (std::filesystem::create_directories(tree, ec) &&
               mount(("/proc/self/fd/" + std::to_string(fd)).c_str(), tree.c_str(), nullptr,
                     MS_BIND | MS_REC, nullptr) == 0));
        if (fd >= 0)
            close(fd);
    }
    // Half done, the folder is given back as it was.
    if (mounted && !ok)
        umount2(folder.c_str(), MNT_DETACH);
    return ok;
}

bool privateDesktop(std::optional<uid_t> user, const std::string &display)
{
    if (!privateTmpfs("/run", "mode=0755"))
        return false;
    for (const char *folder : {"/run/systemd", "/run/systemd/seats", "/run/systemd/sessions",
                               "/run/user"})
        mkdir(folder, 0755);
    if (!user)
        return true;
    const std::string id = std::to_string(*user);
    const std::string runtime = "/run/user/" + id;
    sockaddr_un bus{};
    bus.sun_family = AF_UNIX;
    snprintf(bus.sun_path, sizeof bus.sun_path, "%s/bus", runtime.c_str());
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound = sock >= 0 && mkdir(runtime.c_str(), 0700) == 0 &&
                       bind(sock, reinterpret_cast<sockaddr *>(&bus), sizeof bus) == 0;
    if (sock >= 0)
        close(sock);
    return bound && chown(runtime.c_str(), *user, *user) == 0 &&
           chown(bus.sun_path, *user, *user) == 0 &&
           std::ofstream("/run/systemd/seats/seat0") << "ACTIVE=c1\nACTIVE_UID=" << id << "\n" &&
           std::ofstream("/run/systemd/sessions/c1")
               << "UID=" << id << "\nDISPLAY=" << display << "\nSEAT=seat0\nACTIVE=1\nCLASS=user\n";
}

bool privateLogDirectory(const char *flag)
{
    return privateTmpfs("/var", "mode=0755") && mkdir("/var/zeflog", 0755) == 0
        && std::ofstream(std::string("/var/zeflog/") + flag);
}

std::optional<std::string> readSegment(key_t key)
{
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    if (id == -1 || shmctl(id, IPC_STAT, &ds) != 0)
        return std::nullopt;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1))
        return std::nullopt;
    std::string bytes(static_cast<const char *>(addr), ds.shm_segsz);
    shmdt(addr);
    return bytes;
}

void removeSegment(key_t key)
{
    int id = shmget(key, 0, 0);
    if (id != -1)
        shmctl(id, IPC_RMID, nullptr);
}

XServer::XServer(const std::string &screen, const std::string &authority)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // -displayfd picks a free display and reports it once the server
        // accepts connections, so no polling and no fixed display numbers.
        int fd = dup(fds[1]);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        // 96 dpi, the resolution the prompts are designed at; Xvfb's own is 100.
        const std::string fdText = std::to_string(fd), size = screen + "x24";
        std::vector<const char *> argv{"Xvfb", "-displayfd", fdText.c_str(), "-screen", "0",
                                       size.c_str(), "-dpi", "96", "-nolisten", "tcp",
                                       "-noreset"};
        if (!authority.empty())
            argv.insert(argv.end(), {"-auth", authority.c_str()});
        argv.push_back(nullptr);
        execvp("Xvfb", const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    m_pid = pid;
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.empty())
        throw std::runtime_error("Xvfb did not start");
    m_display = ":" + number;
}

XServer::~XServer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
}

std::string XServer::xdotool(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {{"DISPLAY", m_display}}).out;
}

std::string XServer::waitForWindow(pid_t pid, int timeoutMs) const
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        std::istringstream ids(xdotool({"search", "--onlyvisible", "--pid", std::to_string(pid)}));
        std::string id;
        if (ids >> id)
            return id;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

std::string XServer::focusWindow(pid_t pid) const
{
    const std::string window = waitForWindow(pid);
    if (!window.empty())
        xdotool({"windowfocus", "--sync", window});
    return window;
}

void XServer::play(const std::string &window,
                   const std::vector<std::vector<std::string>> &steps) const
{
    for (std::vector<std::string> args : steps) {
        if (!args.empty() && args[0] == "mousemove")
            args.insert(args.begin() + 1, {"--window", window});
        xdotool(args);
    }
}

void XServer::bindCharacters(const std::string &text) const
{
    std::set<char32_t> chars;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = len == 1 ? lead : lead & (0x3F >> (len - 1));
        for (size_t k = 1; k < len && i + k < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += len;
        if (c >= 0x80)
            chars.insert(c);
    }
    if (chars.empty())
        return;

    // Unused keys are listed as "keycode N =" with nothing after it.
    const EnvChanges env{{"DISPLAY", m_display}};
    std::istringstream keymap(run({"xmodmap", "-pke"}, env).out);
    std::vector<std::string> argv{"xmodmap"};
    auto next = chars.begin();
    for (std::string line; next != chars.end() && std::getline(keymap, line);) {
        std::istringstream words(line);
        std::string word, equals, extra;
        int keycode = 0;
        if (words >> word >> keycode >> equals && word == "keycode" && !(words >> extra)) {
            char sym[16];
            snprintf(sym, sizeof sym, "U%04X", static_cast<unsigned>(*next++));
            argv.insert(argv.end(), {"-e", "keycode " + std::to_string(keycode) + " = " + sym});
        }
    }
    if (next != chars.end())
        throw std::runtime_error("not enough unused keys for the characters to type");
    if (run(argv, env).status != 0)
        throw std::runtime_error("xmodmap failed");
}

std::pair<int, int> XServer::windowSize(const std::string &window) const
{
    std::pair<int, int> size{0, 0};
    const std::string out = xdotool({"getwindowgeometry", window});
    const size_t at = out.find("Geometry: ");
    if (at != std::string::npos)
        sscanf(out.c_str() + at, "Geometry: %dx%d", &size.first, &size.second);
    return size;
}

std::pair<int, int> XServer::windowPosition(const std::string &window) const
{
    std::pair<int, int> position{0, 0};
    const std::string out = xdotool({"getwindowgeometry", window});
    const size_t at = out.find("Position: ");
    if (at != std::string::npos)
        sscanf(out.c_str() + at, "Position: %d,%d", &position.first, &position.second);
    return position;
}

void XServer::setFontDpi(int dpi) const
{
    const Result r = run({"sh", "-c", "echo 'Xft.dpi: " + std::to_string(dpi) +
                                          "' | xrdb -nocpp -merge"},
                         {{"DISPLAY", m_display}});
    if (r.status != 0)
        throw std::runtime_error("xrdb failed: " + r.out);
}

std::string XServer::properties(const std::string &window) const
{
    return run({"xprop", "-id", window}, {{"DISPLAY", m_display}}).out;
}

bool XServer::screenshot(const std::string &window, const std::string &png) const
{
    return run({"import", "-window", window, png}, {{"DISPLAY", m_display}}).status == 0;
}

bool isDialogWithIcon(const std::string &properties)
{
    return properties.find("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_DIALOG") !=
               std::string::npos &&
           properties.find("_NET_WM_ICON(CARDINAL) =") != std::string::npos;
}

bool offersMinimizeOrMaximize(const std::string &properties)
{
    // flags, functions, decorations, ...: bit 0 of flags says that the
    // functions are listed; minimize is 0x8 and maximize 0x10 of them.
    const size_t at = properties.find("_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = ");
    unsigned long flags = 0, functions = 0;
    if (at == std::string::npos ||
        sscanf(properties.c_str() + at, "_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = %lx, %lx", &flags,
               &functions) != 2)
        return true;
    return !(flags & 0x1) || (functions & (0x1 | 0x8 | 0x10));
}

}  // namespace harness
