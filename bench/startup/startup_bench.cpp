// Start-up cost of the prompts as the user feels it: the time from starting a
// program until its window is mapped, and its peak resident memory once the
// window is up. Each prompt runs in turn with a bare Qt program of the same
// kind, under an X server of the benchmark's own. With --peers the stock
// dialogs of zenity, kdialog and pinentry-qt join where they are installed.
#include "harness.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using harness::EnvChanges;

const std::string BIN = ZEF_BINARY_DIR;
const int PAIRS = 11;
const int WARMUP_PAIRS = 2;  // page cache and font cache settle in these
const int MAP_TIMEOUT_MS = 20000;
// A mapped window is painted right after; its backing store belongs to the
// memory of a window that is up.
const auto PAINT_SETTLE = std::chrono::milliseconds(300);

struct Program {
    std::string name;
    std::vector<std::string> argv;
    bool glOff;  // run with the GL integration switched off by the environment
};

struct Sample {
    double ms;
    double mb;
};

// Five certificates as the calling service leaves them: percent-encoded twice.
void writeSampleHome(const harness::TempDir &home)
{
    home.write(".certInfoColumn",
               "{\"01%25E4%25B8%25BB%25E9%25A2%2598\":\"DN\","
               "\"02%25E9%25A2%2581%25E5%258F%2591%25E8%2580%2585\":\"issuer\","
               "\"03%25E6%259C%2589%25E6%2595%2588%25E6%259C%259F\":\"NotAfter\"}");
    std::string list = "[";
    for (int i = 1; i <= 5; ++i) {
        list += std::string(i > 1 ? "," : "") + "{\"DN\":\"CN%253D%25E5%25BC%25A0%25E4%25B8%2589" +
                std::to_string(i) + "%252C O%253DZef\",\"issuer\":\"CN%253DZef CA\",\"NotAfter\":\"203" +
                std::to_string(i) + "-12-31\"}";
    }
    home.write(".certInfoList", list + "]");
}

bool installed(const std::string &command)
{
    std::istringstream path(getenv("PATH") ? getenv("PATH") : "");
    for (std::string dir; std::getline(path, dir, ':');) {
        if (access((dir + "/" + command).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

double vmHwmMegabytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    }
    return 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A window that goes away while we look at it is no failure of ours.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

// Our connection to the benchmark's X server, told of every top-level
// window that is mapped.
class MapWatcher {
public:
    MapWatcher(const std::string &display, const std::string &home, const std::string &runtime)
        : m_display(XOpenDisplay(display.c_str()))
    {
        if (!m_display) {
            fprintf(stderr, "cannot open display %s\n", display.c_str());
            exit(1);
        }
        XSetErrorHandler(ignoreXError);
        m_pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
        XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
        XSync(m_display, False);
        // The calling service starts the prompts without GL settings of
        // its own, on a Chinese desktop, from the installation folder.
        m_env = {{"DISPLAY", display},           {"HOME", home},
                 {"XDG_RUNTIME_DIR", runtime},   {"LANG", "zh_CN.UTF-8"},
                 {"LC_ALL", std::nullopt},       {"LANGUAGE", std::nullopt},
                 {"QT_QPA_PLATFORM", std::nullopt}, {"QT_XCB_GL_INTEGRATION", std::nullopt}};
    }
    ~MapWatcher() { XCloseDisplay(m_display); }

    // One start of the program; nothing when no window of it appeared.
    std::optional<Sample> measure(const Program &program)
    {
        while (XPending(m_display)) {
            XEvent stale;
            XNextEvent(m_display, &stale);
        }
        EnvChanges env = m_env;
        if (program.glOff)
            env["QT_XCB_GL_INTEGRATION"] = "none";

        const auto start = Clock::now();
        harness::Child child(program.argv, env, BIN);
        if (!waitForMap(child)) {
            fprintf(stderr, "%s: no window appeared\n%s", program.name.c_str(),
                    child.output().c_str());
            return std::nullopt;
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::this_thread::sleep_for(PAINT_SETTLE);
        return Sample{ms, vmHwmMegabytes(child.pid())};
        // The child is killed here: a killed prompt writes no result.
    }

private:
    bool waitForMap(harness::Child &child)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(MAP_TIMEOUT_MS);
        pollfd fd = {ConnectionNumber(m_display), POLLIN, 0};
        while (Clock::now() < deadline) {
            if (!XPending(m_display)) {
                if (!child.running())
                    return false;
                poll(&fd, 1, 100);
                continue;
            }
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect &&
                ownedBy(event.xmap.window, child.pid()))
                return true;
        }
        return false;
    }

    // Toolkits name the process on their top-level windows; one that does
    // not is taken as the child's, the only client that maps windows here.
    bool ownedBy(Window window, pid_t pid)
    {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(m_display, window, m_pidAtom, 0, 1, False, XA_CARDINAL, &type,
                               &format, &count, &after, &data) != Success)
            return false;
        bool owned = true;
        if (data && format == 32 && count == 1)
            owned = static_cast<pid_t>(*reinterpret_cast<unsigned long *>(data)) == pid;
        if (data)
            XFree(data);
        return owned;
    }

    Display *m_display;
    Atom m_pidAtom;
    EnvChanges m_env;
};

// Runs the program and its baseline in turn and prints one table row.
void compare(MapWatcher &watcher, const Program &program, const Program &baseline)
{
    std::vector<double> ms, mb, baseMs, baseMb, msRatio, mbRatio;
    for (int pair = 0; pair < PAIRS; ++pair) {
        const std::optional<Sample> p = watcher.measure(program);
        const std::optional<Sample> b = watcher.measure(baseline);
        if (!p || !b)
            return;
        if (pair < WARMUP_PAIRS)
            continue;
        ms.push_back(p->ms);
        mb.push_back(p->mb);
        baseMs.push_back(b->ms);
        baseMb.push_back(b->mb);
        msRatio.push_back(p->ms / b->ms);
        mbRatio.push_back(p->mb / b->mb);
    }
    printf("| %s | %.0f | %.1f | %s | %.0f | %.1f | %.2f | %.2f |\n", program.name.c_str(),
           median(ms), median(mb), baseline.name.c_str(), median(baseMs), median(baseMb),
           median(msRatio), median(mbRatio));
    fflush(stdout);
}

}  // namespace

int main(int argc, char *argv[])
{
    const bool peers = argc > 1 && strcmp(argv[1], "--peers") == 0;
    if (argc > 1 && !peers) {
        fprintf(stderr, "usage: %s [--peers]\n", argv[0]);
        return 2;
    }
    // Starting the PIN prompt removes segment 18945. In an IPC namespace of
    // our own (root only) a result that a calling service or a test is
    // waiting for stays untouched.
    if (unshare(CLONE_NEWIPC) != 0)
        fprintf(stderr, "note: no IPC namespace of our own; segment 18945 is removed\n");

    harness::XServer x;
    harness::TempDir home, runtime;
    writeSampleHome(home);
    MapWatcher watcher(x.display(), home.path(), runtime.path());

    const Program dialog{"bare QDialog", {BIN + "/bench/startup/bare_dialog"}, true};
    const Program fileDialog{"bare QFileDialog", {BIN + "/bench/startup/bare_dirdialog"}, true};
    struct Row {
        Program program;
        const Program &baseline;
    };
    std::vector<Row> rows = {
        {{"tessary", {BIN + "/tessary/tessary"}, false}, dialog},
        {{"quorrel", {BIN + "/quorrel/quorrel"}, false}, dialog},
        {{"dirvane", {BIN + "/dirvane/dirvane"}, false}, fileDialog},
    };
    if (peers) {
        const std::vector<Row> stock = {
            {{"zenity --list", {"zenity", "--list", "--column=DN", "--column=issuer",
                                "--column=NotAfter", "CN=a", "CA", "2031", "CN=b", "CA", "2032",
                                "CN=c", "CA", "2033", "CN=d", "CA", "2034", "CN=e", "CA", "2035"},
              false}, dialog},
            {{"kdialog --radiolist", {"kdialog", "--radiolist", "Certificate", "0", "CN=a", "on",
                                      "1", "CN=b", "off", "2", "CN=c", "off", "3", "CN=d", "off",
                                      "4", "CN=e", "off"},
              false}, dialog},
            {{"zenity --password", {"zenity", "--password"}, false}, dialog},
            {{"kdialog --password", {"kdialog", "--password", "PIN"}, false}, dialog},
            // pinentry shows its window when asked for the PIN on its input.
            {{"pinentry-qt", {"sh", "-c", "exec pinentry-qt <<EOF\nGETPIN\nEOF\n"}, false}, dialog},
            {{"zenity --file-selection", {"zenity", "--file-selection", "--directory"}, false},
             fileDialog},
            {{"kdialog --getexistingdirectory", {"kdialog", "--getexistingdirectory", "/home"},
              false}, fileDialog},
        };
        for (const Row &row : stock) {
            const std::string command = row.program.argv[0] == "sh" ? "pinentry-qt"
                                                                      : row.program.argv[0];
            if (installed(command))
                rows.push_back(row);
            else
                fprintf(stderr, "note: %s not installed, left out\n", command.c_str());
        }
    }

    printf("Median of %d runs each, the prompt and its baseline in turn; the baseline runs "
           "with QT_XCB_GL_INTEGRATION=none.\n\n",
           PAIRS - WARMUP_PAIRS);
    printf("| program | ms | MB | baseline | ms | MB | time ratio | memory ratio |\n");
    printf("|---|---:|---:|---|---:|---:|---:|---:|\n");
    fflush(stdout);
    for (const Row &row : rows)
        compare(watcher, row.program, row.baseline);
    return 0;
}
