// dirvane as the calling service sees it: started under a private X server,
// driven by keyboard, its result read from segment 18991 after it ended.
#include "harness.h"
#include "segment_expect.h"
#include "sharememory.h"

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string PROGRAM = ZEF_BINARY_DIR "/dirvane/dirvane";

using Keys = std::vector<std::vector<std::string>>;
const Keys ESCAPE = {{"key", "Escape"}};

struct Outcome {
    std::optional<int> exitStatus;
    std::string out;
    std::string properties;  // xprop of the window
    std::optional<std::string> segment;
};

// How many processes carry mark, NAME=value and its NUL, in their
// environment: once the prompt has ended, whatever it left behind, such as a
// session bus that the toolkit started for it.
int processesMarked(const std::string &mark)
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        if (harness::readFile(entry.path() / "environ").value_or("").find(mark) !=
            std::string::npos)
            ++count;
    }
    return count;
}

class Dirvane : public ::testing::Test {
protected:
    void SetUp() override { harness::removeSegment(DIR_SEGMENT_KEY); }
    void TearDown() override { harness::removeSegment(DIR_SEGMENT_KEY); }

    // Runs program under LANG=lang from cwd, sends keys to its dialog and
    // collects what it left behind.
    Outcome choose(const std::string &lang, const std::string &cwd, const Keys &keys,
                   const std::string &program = PROGRAM)
    {
        // The language comes from LANG alone, as on a desktop session. Run
        // as root without a session bus, it must start none.
        const std::string run = std::to_string(getpid()) + "." + std::to_string(++runs);
        harness::Child child({program},
                             {{"DISPLAY", x.display()},
                              {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                              {"ZEF_DIRVANE_RUN", run},
                              {"LANG", lang},
                              {"LC_ALL", std::nullopt},
                              {"LC_MESSAGES", std::nullopt},
                              {"LC_NUMERIC", std::nullopt},
                              {"LANGUAGE", std::nullopt},
                              {"XDG_RUNTIME_DIR", runtime.path()}},
                             cwd);
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
        EXPECT_EQ(processesMarked("ZEF_DIRVANE_RUN=" + run + '\0'), 0);
        o.segment = harness::readSegment(DIR_SEGMENT_KEY);
        return o;
    }

    harness::XServer x;
    harness::TempDir runtime;
    int runs = 0;
};

// A dialog with an icon of its own, as the window manager sees it.
TEST_F(Dirvane, DialogWithIconHandsOverCancelledByEscapeAndReplacesALeftover)
{
    // A leftover larger than ours, as a run of a foreign program might leave.
    int leftover = shmget(DIR_SEGMENT_KEY, 2 * DIR_SEGMENT_SIZE, IPC_CREAT | 0666);
    ASSERT_NE(leftover, -1);

    harness::TempDir cwd;
    Outcome o = choose("de_DE.UTF-8", cwd.path(), ESCAPE);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_TRUE(harness::isDialogWithIcon(o.properties)) << o.properties;
    // Not Chinese: no language lines; a leftover was there: no "ENOENT".
    EXPECT_EQ(o.out.find("中文"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("ENOENT"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("p:" + CANCELLED + "\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.segment, padded(CANCELLED));

    shmid_ds ds{};
    ASSERT_EQ(shmctl(shmget(DIR_SEGMENT_KEY, 0, 0), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, RESULT_MODE);
}

TEST_F(Dirvane, TypedDirectoryWithNonAsciiNameIsHandedOverAsUtf8)
{
    harness::TempDir base;
    const std::string dir = base.path() + "/证书 目录";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    x.bindCharacters(dir);

    Outcome o = choose("C.UTF-8", base.path(),
                       {{"type", "--delay", "20", dir}, {"key", "Return"}});
    const std::string text = "{\"status\":1, \"pathName\":\"" + dir + "\"}";
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.out.find("ENOENT\np:" + text + "\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("中文"), std::string::npos) << o.out;
    EXPECT_EQ(o.segment, padded(text));
}

// A cut path could name another directory and a cut text is not JSON: such
// a choice is handed over as cancelled, with one line saying why.
TEST_F(Dirvane, PathTooLongForTheResultIsHandedOverAsCancelled)
{
    harness::TempDir base;
    std::string dir = base.path();
    while (dir.size() <= 1000)
        dir += "/" + std::string(200, 'l');
    std::filesystem::create_directories(dir);

    Outcome o = choose("C.UTF-8", base.path(),
                       {{"type", "--delay", "2", dir}, {"key", "Return"}});
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.out.find("ENOENT\npathName too long, handed over as cancelled\np:" + CANCELLED +
                         "\n"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(o.segment, padded(CANCELLED));
}

// With the larger fonts of a 192 dpi desktop the window grows with them, so
// that the sidebar's names and the columns stay whole.
TEST_F(Dirvane, WindowGrowsWithTheFont)
{
    std::pair<int, int> sizes[2];
    const int dpis[] = {96, 192};
    for (int i = 0; i < 2; ++i) {
        x.setFontDpi(dpis[i]);
        harness::Child child({PROGRAM}, {{"DISPLAY", x.display()},
                                         {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                         {"XDG_RUNTIME_DIR", runtime.path()}});
        sizes[i] = x.windowSize(x.waitForWindow(child.pid()));
    }
    EXPECT_GT(sizes[0].first, 0);
    EXPECT_GE(sizes[1].first * 2, sizes[0].first * 3);
    EXPECT_GE(sizes[1].second * 2, sizes[0].second * 3);
}

// The input methods of Chinese desktops, each as a shell script's parts: its
// daemon started, a plain keyboard for the path, pinyin for the Chinese, and
// the daemon ended.
struct InputMethod {
    const char *module;  // QT_IM_MODULE
    const char *start, *plain, *pinyin, *stop;
};
const InputMethod INPUT_METHODS[] = {
    {"ibus", R"sh(
        ibus-daemon --panel=disable --config=/usr/libexec/ibus-memconf --replace --daemonize
        use() {
            for i in $(seq 50); do
                ibus engine $1 2>/dev/null
                [ "$(ibus engine 2>/dev/null)" = $1 ] && break
                sleep 0.2
            done
        })sh",
     "use xkb:us::eng", "use libpinyin", "ibus exit"},
    // fcitx 5, which Qt 5.6 reaches through the fcitx-qt5 context built for
    // it. Pinyin comes after the keyboard in the profile's one group, so
    // switching the input method on gives pinyin. The wait does not start a
    // second daemon through the bus's activation, as fcitx5-remote would.
    {"fcitx", R"sh(
        mkdir -p ~/.config/fcitx5
        printf '%s\n' '[Groups/0]' Name=Default 'Default Layout=us' DefaultIM=pinyin \
            '[Groups/0/Items/0]' Name=keyboard-us '[Groups/0/Items/1]' Name=pinyin \
            '[GroupOrder]' 0=Default >~/.config/fcitx5/profile
        fcitx5 -d --disable=all \
            --enable=xcb,dbus,dbusfrontend,fcitx4frontend,keyboard,pinyin,punctuation
        gdbus wait --session --timeout 15 org.fcitx.Fcitx5)sh",
     "fcitx5-remote -c 2>/dev/null || :",
     // Switched on by its key, which comes after the path's keys, where a
     // call on the bus could overtake those still on their way.
     R"sh(xdotool key ctrl+space
         for i in $(seq 50); do
             [ "$(fcitx5-remote)" = 2 ] && break
             sleep 0.2
         done)sh",
     "fcitx5-remote -e"},
};

// Pinyin as a Chinese desktop types it: "nihao" and space give 你好 in the
// path field, also right after a completion was offered for what was typed
// before it.
TEST_F(Dirvane, PinyinThroughEachInputMethodReachesThePathFieldAfterACompletion)
{
    const bool noFcitx = ZEF_QT_MINOR < 7 && !ZEF_FCITX_BESIDE;
    for (const InputMethod &im : INPUT_METHODS) {
        SCOPED_TRACE(im.module);
        const std::string module = im.module;
        if (module == "fcitx" && noFcitx)
            continue;
        harness::removeSegment(DIR_SEGMENT_KEY);
        harness::TempDir base;
        const std::string dir = base.path() + "/c你好";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        const std::string script = std::string(im.start) + "\n" + im.plain + R"sh(
            QT_IM_MODULE=$MODULE "$PROGRAM" & prompt=$!
            window=$(xdotool search --sync --onlyvisible --pid $prompt | head -n 1)
            xdotool windowfocus --sync $window
            # On a busy machine an input method's answer can come late, while
            # the completions' list comes and goes, and a path come out wrong
            # (a key twice, or behind the next): the user types it anew.
            for attempt in 1 2 3; do
                )sh" + im.plain + R"sh(
                xdotool key ctrl+a BackSpace
                xdotool type --delay 50 "$BASE/c"
                )sh" + im.pinyin + R"sh(
                xdotool type --delay 50 nihao; xdotool key space
                # Where the completions are still listed, Return closes the
                # list, and the next chooses.
                for i in $(seq 30); do
                    [ $((i % 10)) = 1 ] && xdotool key Return
                    kill -0 $prompt 2>/dev/null || break 2
                    sleep 0.2
                done
            done
            # A dialog that did not take the path is ended, and the daemon
            # with it.
            kill $prompt 2>/dev/null; wait $prompt
            )sh" + im.stop;
        // The display's number is written with two digits, as a remote
        // desktop's ":10" has them, and the configuration is in ~/.config,
        // where Qt 5.6's ibus context looks whatever XDG_CONFIG_HOME says.
        const std::string display = ":0" + x.display().substr(1);
        harness::TempDir home;
        const harness::Result r = harness::run({"dbus-run-session", "--", "sh", "-c", script},
                                               {{"DISPLAY", display},
                                                {"HOME", home.path()},
                                                {"XDG_CONFIG_HOME", std::nullopt},
                                                {"XDG_RUNTIME_DIR", runtime.path()},
                                                {"GSETTINGS_BACKEND", "memory"},
                                                {"LANG", "C.UTF-8"},
                                                {"LC_ALL", std::nullopt},
                                                {"MODULE", module},
                                                {"PROGRAM", PROGRAM},
                                                {"BASE", base.path()}},
                                               {}, 90000);  // room for typing anew
        const std::string text = "{\"status\":1, \"pathName\":\"" + dir + "\"}";
        EXPECT_NE(r.out.find("p:" + text + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(harness::readSegment(DIR_SEGMENT_KEY), padded(text));
    }
    // Said once the other rows have run; a failure among them still fails.
    if (noFcitx)
        GTEST_SKIP() << "fcitx: fcitx-qt5's source could not be fetched when the build was "
                        "configured, so this Qt has no fcitx input context";
}

TEST_F(Dirvane, ChineseSystemLoadsTheCatalogueFromTheWorkingDirectory)
{
    Outcome o = choose("zh_CN.UTF-8", ZEF_BINARY_DIR, ESCAPE);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.out.find("中文系统\nENOENT\np:" + CANCELLED + "\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.segment, padded(CANCELLED));
}

TEST_F(Dirvane, ChineseSystemWithoutCatalogueSaysSoAndStillHandsOver)
{
    harness::TempDir cwd;
    Outcome o = choose("zh_CN.UTF-8", cwd.path(), ESCAPE);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.out.find("中文系统\n中文字体加载失败\nENOENT\np:" + CANCELLED + "\n"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(o.segment, padded(CANCELLED));
}

// The installation is what the calling service runs: the index catalogue
// alone would not load there.
TEST_F(Dirvane, InstalledProgramLoadsTheCatalogueBesideIt)
{
    harness::TempDir prefix;
    harness::Result install = harness::run({ZEF_CMAKE, "--install", ZEF_BINARY_DIR, "--prefix",
                                            prefix.path(), "--component", "dirvane"});
    ASSERT_EQ(install.status, 0) << install.out;
    const std::string bin = prefix.path() + "/" ZEF_INSTALL_BINDIR;

    Outcome o = choose("zh_CN.UTF-8", bin, ESCAPE, bin + "/dirvane");
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_NE(o.out.find("中文系统\nENOENT\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.segment, padded(CANCELLED));
}

}  // namespace
