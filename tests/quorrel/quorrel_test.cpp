// quorrel as the calling service sees it: started under a private X server,
// driven by keyboard, its result read from segment 18945 after it ended.
#include "harness.h"
#include "pinoracle.h"
#include "sharememory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {

const std::string PROGRAM = ZEF_BINARY_DIR "/quorrel/quorrel";
const std::string LISTENER = ZEF_BINARY_DIR "/tests/quorrel/quorrel_a11y_listener";
const std::string GRAB = ZEF_BINARY_DIR "/tests/quorrel/quorrel_keyboard_grab";
const std::string PIN = "Zq7Kp2Wm";

struct Outcome {
    std::optional<int> exitStatus;
    std::string out;
    std::string properties;  // xprop of the window
    std::optional<std::string> segment;
};

class Quorrel : public ::testing::Test {
protected:
    void SetUp() override { harness::removeSegment(PIN_SEGMENT_KEY); }
    void TearDown() override { harness::removeSegment(PIN_SEGMENT_KEY); }

    // Starts the program, sends keys to its window and collects what it
    // left behind.
    Outcome run(const std::vector<std::vector<std::string>> &keys)
    {
        harness::Child child({PROGRAM},
                             {{"DISPLAY", x.display()}, {"XDG_RUNTIME_DIR", runtime.path()}});
        Outcome o;
        const std::string window = x.focusWindow(child.pid());
        if (window.empty()) {
            ADD_FAILURE() << "no dialog appeared:\n" << child.output();
            return o;
        }
        o.properties = x.properties(window);
        x.play(window, keys);
        o.exitStatus = child.exitStatus(30000);
        o.out = child.output();
        o.segment = harness::readSegment(PIN_SEGMENT_KEY);
        return o;
    }

    harness::XServer x;
    harness::TempDir runtime;
};

TEST_F(Quorrel, DialogStaysOnTopAtFixedSizeAndEscapeLeavesNoSegment)
{
    Outcome o = run({{"type", "--delay", "20", "123456"}, {"key", "Escape"}});
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.out.find("ENOENT\n"), std::string::npos) << o.out;
    EXPECT_FALSE(o.segment);

    EXPECT_NE(o.properties.find("_NET_WM_NAME(UTF8_STRING) = \"输入用户口令 \"\n"),
              std::string::npos)
        << o.properties;
    EXPECT_NE(o.properties.find("_NET_WM_STATE_ABOVE"), std::string::npos) << o.properties;
    EXPECT_TRUE(harness::isDialogWithIcon(o.properties)) << o.properties;
    EXPECT_FALSE(harness::offersMinimizeOrMaximize(o.properties)) << o.properties;
    EXPECT_NE(o.properties.find("minimum size: 400 by 200\n"), std::string::npos);
    EXPECT_NE(o.properties.find("maximum size: 400 by 200\n"), std::string::npos);
}

// With the larger fonts of a 192 dpi desktop the window grows, so that no
// text is cut; the test above holds its designed size at 96 dpi.
TEST_F(Quorrel, WindowGrowsWithTheFont)
{
    x.setFontDpi(192);
    harness::Child child({PROGRAM},
                         {{"DISPLAY", x.display()}, {"XDG_RUNTIME_DIR", runtime.path()}});
    const std::pair<int, int> size = x.windowSize(x.waitForWindow(child.pid()));
    EXPECT_GE(size.first, 640);
    EXPECT_GE(size.second, 320);
}

TEST_F(Quorrel, TypedPinAndReturnReplaceALeftover)
{
    int leftover = shmget(PIN_SEGMENT_KEY, PIN_SEGMENT_SIZE, IPC_CREAT | IPC_EXCL | 0666);
    ASSERT_NE(leftover, -1);
    void *addr = shmat(leftover, nullptr, 0);
    memset(addr, 0x5a, PIN_SEGMENT_SIZE);
    shmdt(addr);

    const std::string pin = "Kennwort-\xC3\xA9";  // UTF-8, é is one Latin-1 byte
    x.bindCharacters(pin);
    Outcome o = run({{"type", "--delay", "20", pin}, {"key", "Return"}});
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(o.out.find("ENOENT"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("Kennwort"), std::string::npos) << o.out;
    ASSERT_TRUE(o.segment);
    EXPECT_EQ(decryptPin(*o.segment), pinPlaintext("Kennwort-\xE9"));
}

// With an accessibility bus on the desktop's session bus, as a screen reader
// has it, the prompt joins it: the registry lists it by its name. So it does
// when it is given no session bus, as under a desktop whose bus the calling
// service cannot find, through the bus's address on the display's root window.
// A PIN typed into it reaches a listener of the bus as mask characters alone.
TEST_F(Quorrel, JoinsTheAccessibilityBusWithoutThePin)
{
    const std::string script = R"(
        /usr/libexec/at-spi-bus-launcher --launch-immediately & launcher=$!
        call() { gdbus call "$@" 2>/dev/null; }
        for i in $(seq 40); do
            a11y=$(call --session -d org.a11y.Bus -o /org/a11y/bus -m org.a11y.Bus.GetAddress) && break
            sleep 0.25
        done
        a11y=${a11y#(\'}; a11y=${a11y%\',)}
        # As the desktop's bus launcher publishes it.
        xprop -root -f AT_SPI_BUS 8s -set AT_SPI_BUS "$a11y"
        # A screen reader says that it runs, as Orca does; Qt 5.6 joins the
        # bus only then.
        call --session -d org.a11y.Bus -o /org/a11y/bus -m org.freedesktop.DBus.Properties.Set \
            org.a11y.Status ScreenReaderEnabled '<true>' >/dev/null
        root() {
            dest=$1; shift
            call --address "$a11y" -d "$dest" -o /org/a11y/atspi/accessible/root -m "$@"
        }
        # The registry and the screen reader run before the prompt starts,
        # as on a desktop.
        root org.a11y.atspi.Registry org.a11y.atspi.Accessible.GetChildren >/dev/null
        events=$(mktemp)
        "$LISTENER" "$a11y" >"$events" & listener=$!
        for i in $(seq 40); do grep -q listening "$events" && break; sleep 0.25; done
        ${NO_BUS:+env -u DBUS_SESSION_BUS_ADDRESS} "$PROMPT" >/dev/null 2>&1 & prompt=$!
        for i in $(seq 40); do
            for app in $(root org.a11y.atspi.Registry org.a11y.atspi.Accessible.GetChildren |
                         grep -o ':[0-9.]*'); do
                root "$app" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Name
            done | grep -q "'quorrel'" && { echo registered; break; }
            sleep 0.25
        done
        window=$(xdotool search --sync --onlyvisible --pid $prompt | head -n 1)
        xdotool windowfocus --sync $window
        xdotool type --delay 20 "$PIN"
        for i in $(seq 40); do
            [ $(grep -c '^insert ' "$events") -ge ${#PIN} ] && break
            sleep 0.25
        done
        kill $prompt $listener $launcher; wait
        sed 's/^/event /' "$events"; rm "$events"
    )";
    for (const char *noBus : {"", "1"}) {
        SCOPED_TRACE(*noBus ? "no session bus" : "the session bus");
        harness::TempDir home;
        const harness::Result r = harness::run({"dbus-run-session", "--", "sh", "-c", script},
                                               {{"DISPLAY", x.display()},
                                                {"HOME", home.path()},
                                                {"XDG_RUNTIME_DIR", runtime.path()},
                                                {"PROMPT", PROGRAM},
                                                {"LISTENER", LISTENER},
                                                {"PIN", PIN},
                                                {"NO_BUS", noBus}});
        EXPECT_NE(r.out.find("registered\n"), std::string::npos) << r.out;
        size_t inserts = 0;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("event ", 0) != 0)
                continue;
            inserts += line.rfind("event insert ", 0) == 0;
            // Neither word of the line has a letter of the PIN.
            EXPECT_EQ(line.find_first_of(PIN), std::string::npos) << line;
        }
        EXPECT_EQ(inserts, PIN.size()) << r.out;
    }
}

// While the prompt is up, no other client of the display can take the
// keyboard from it, nor read its memory: the prompt, run as a user, is not
// dumpable (its /proc entries are root's) and leaves no core. Once it has
// ended the keyboard is free again.
TEST_F(Quorrel, HoldsTheKeyboardAndCannotBeDumped)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "runs the prompt as another user";
    // nobody cannot reach the build tree (a clone under /root, say), nor the
    // leak checker's suppressions of a sanitized build there.
    harness::TempDir bin;
    chmod(bin.path().c_str(), 0755);
    std::filesystem::copy_file(PROGRAM, bin.file("quorrel"));
    harness::EnvChanges env{{"DISPLAY", x.display()}, {"XDG_RUNTIME_DIR", std::nullopt}};
    const std::string lsan = getenv("LSAN_OPTIONS") ? getenv("LSAN_OPTIONS") : "";
    const std::string option = "suppressions=";
    if (lsan.rfind(option, 0) == 0) {
        // The path comes first, quoted when it holds a blank.
        const size_t from = option.size();
        const char quote = lsan.size() > from && (lsan[from] == '\'' || lsan[from] == '"') ? lsan[from] : 0;
        const size_t close = quote ? lsan.find(quote, from + 1) : lsan.find(':', from);
        const std::string path = quote ? lsan.substr(from + 1, close - from - 1) : lsan.substr(from, close - from);
        const size_t rest = quote && close != std::string::npos ? close + 1 : close;
        std::filesystem::copy_file(path, bin.file("lsan.supp"));
        env["LSAN_OPTIONS"] = option + "'" + bin.file("lsan.supp") + "'" +
                              (rest == std::string::npos ? "" : lsan.substr(rest));
    }
    harness::Child child({bin.file("quorrel")}, env, "/", [] {
        if (!harness::becomeNobody())
            _exit(1);
    });
    const std::string window = x.focusWindow(child.pid());
    ASSERT_FALSE(window.empty()) << child.output();

    const std::string proc = "/proc/" + std::to_string(child.pid());
    struct stat st {};
    EXPECT_EQ(stat((proc + "/environ").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    std::string soft, hard;
    for (const std::string &line : harness::readLines(proc + "/limits")) {
        if (line.rfind("Max core file size", 0) == 0)
            std::istringstream(line.substr(18)) >> soft >> hard;
    }
    EXPECT_EQ(soft + " " + hard, "0 0");

    const auto grab = [&] { return harness::run({GRAB}, {{"DISPLAY", x.display()}}).out; };
    // Taken once the window is active, and again once the field's menu has
    // closed: waited for, not timed.
    for (const std::vector<std::vector<std::string>> &before :
         {std::vector<std::vector<std::string>>{}, {{"mousemove", "200", "80"}, {"click", "3"}, {"key", "Escape"}}}) {
        x.play(window, before);
        std::string other;
        for (int i = 0; i < 400 && (other = grab()) != "refused\n"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(other, "refused\n");
    }
    x.play(window, {{"type", "--delay", "20", PIN}, {"key", "Return"}});
    EXPECT_EQ(child.exitStatus(30000), 0);
    EXPECT_EQ(grab(), "grabbed\n");
    std::optional<std::string> segment = harness::readSegment(PIN_SEGMENT_KEY);
    ASSERT_TRUE(segment) << child.output();
    EXPECT_EQ(decryptPin(*segment), pinPlaintext(PIN));
}

// On a display shown as two monitors, the prompt opens in the middle of the
// one the pointer is on, not across the seam in the middle of both.
TEST_F(Quorrel, OpensOnTheMonitorThePointerIsOn)
{
    harness::XServer wide("2560x1024");
    const harness::EnvChanges env{{"DISPLAY", wide.display()}};
    ASSERT_EQ(harness::run({"xrandr", "--setmonitor", "left", "1280/338x1024/270+0+0", "screen"},
                           env).status,
              0);
    ASSERT_EQ(harness::run({"xrandr", "--setmonitor", "right", "1280/338x1024/270+1280+0", "none"},
                           env).status,
              0);
    for (const int monitor : {0, 1280}) {
        SCOPED_TRACE(monitor);
        wide.xdotool({"mousemove", std::to_string(monitor + 1000), "100"});
        harness::Child child({PROGRAM},
                             {{"DISPLAY", wide.display()}, {"XDG_RUNTIME_DIR", runtime.path()}});
        const std::string window = wide.waitForWindow(child.pid());
        const std::pair<int, int> position = wide.windowPosition(window);
        const std::pair<int, int> size = wide.windowSize(window);
        EXPECT_NEAR(position.first + size.first / 2, monitor + 640, 2);
        EXPECT_NEAR(position.second + size.second / 2, 512, 2);
    }
}

// A prompt that the service gives up on is killed, so each line must be out
// as it is printed: a failed hand-off's line while the dialog stays open.
TEST_F(Quorrel, FailedHandOffIsReportedBeforeTheDialogEnds)
{
    // A leftover smaller than the result, which the start cannot remove.
    ASSERT_NE(shmget(PIN_SEGMENT_KEY, 16, IPC_CREAT | IPC_EXCL | 0666), -1);
    harness::Child child({PROGRAM},
                         {{"DISPLAY", x.display()}, {"XDG_RUNTIME_DIR", runtime.path()}});
    const std::string window = x.focusWindow(child.pid());
    ASSERT_FALSE(window.empty()) << child.output();
    x.play(window, {{"type", "--delay", "20", "123456"}, {"key", "Return"}});

    // Waited for, not timed: a buffered line never arrives.
    for (int i = 0; i < 400 && child.output().find("shmget fail\n") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(child.running());
    kill(child.pid(), SIGKILL);
    child.wait(30000);
    EXPECT_NE(child.output().find("shmget fail\n"), std::string::npos) << child.output();
}

}  // namespace
