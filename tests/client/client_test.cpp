// libzefclient and the zefkit module driving the real prompts under a
// private X server, and the library's care for its prompts: a prompt that
// dies, a caller that dies, two threads at once.
#include "harness.h"

#include <zefkit/zefclient.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

const char CERTS[] = R"({"columns": [{"title": "Subject", "member": "DN"}],
                         "certificates": [{"DN": "CN=Alice"}, {"DN": "CN=Bob"}]})";

// This process's user: HOME in the tests is no desktop user's, so the
// calls name whom the prompts run as.
const passwd &me()
{
    return *getpwuid(geteuid());
}

// The real prompts run in the plain build only: sanitized, they would report
// the toolkit's leaks as they exit, and the small environment that the
// library gives them holds none of the tests' sanitizer settings.
#ifdef ZEF_CMAKE
using Steps = std::vector<std::vector<std::string>>;
enum Kind { Cert, Pin, Dir };

// Row 1 lies below the table's top, its header and row 0.
const std::vector<std::string> ROW1 = {"mousemove", "100", "62"};
const std::vector<std::string> CLICK = {"click", "1"};
const std::vector<std::string> OK = {"mousemove", "220", "290"};

struct Case {
    const char *what;
    Kind kind;
    Steps steps;
    int timeoutMs;
    int result;
    std::string answer;
    size_t size = 1024;  // the C caller's buffer
};

class Library : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *prompt : {"tessary", "quorrel", "dirvane"})
            std::filesystem::create_symlink(
                std::string(ZEF_BINARY_DIR "/") + prompt + "/" + prompt, prompts.file(prompt));
        ASSERT_EQ(mkdir(home.file("chosen").c_str(), 0755), 0);
    }

    const std::vector<Case> cases()
    {
        return {
            {"certificate chosen", Cert, {ROW1, CLICK, OK, CLICK}, 0, ZEF_CHOSEN, "1"},
            {"certificate cancelled", Cert, {{"mousemove", "360", "290"}, CLICK}, 0,
             ZEF_CANCELLED, ""},
            {"certificate timed out", Cert, {}, 1000, ZEF_TIMEOUT, ""},
            {"PIN chosen", Pin, {{"type", "123456é"}, {"key", "Return"}}, 0, ZEF_CHOSEN,
             "123456é"},
            {"PIN cancelled", Pin, {{"type", "123456"}, {"key", "Escape"}}, 0, ZEF_CANCELLED, ""},
            {"PIN timed out", Pin, {}, 1000, ZEF_TIMEOUT, ""},
            {"PIN too large for the buffer", Pin, {{"type", "123456é"}, {"key", "Return"}}, 0,
             ZEF_ERROR, "", 8},
            {"directory chosen", Dir, {{"type", home.file("chosen")}, {"key", "Return"}}, 0,
             ZEF_CHOSEN, home.file("chosen")},
            {"directory cancelled", Dir, {{"key", "Escape"}}, 0, ZEF_CANCELLED, ""},
            {"directory timed out", Dir, {}, 1000, ZEF_TIMEOUT, ""},
        };
    }

    // Answers the caller's prompt with the case's steps and expects the
    // case's result, and the answer at the end of what the caller printed
    // (after the prompt's own lines) behind mark.
    void expectAnswer(const Case &c, harness::Child &caller, const std::string &mark = "\n=")
    {
        SCOPED_TRACE(c.what);
        if (!c.steps.empty()) {
            const std::string window = x.focusWindow(harness::childOf(caller.pid()));
            ASSERT_FALSE(window.empty()) << caller.output();
            x.play(window, c.steps);
        }
        EXPECT_EQ(caller.exitStatus(60000), c.result) << caller.output();
        const std::string out = "\n" + caller.output();
        const std::string end = mark + c.answer;
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), end.size())), end) << out;
    }

    harness::TempDir home, prompts;
    harness::XServer x;
};

// Calls the library for c in this process, prints "=" and the answer and
// ends with the result.
[[noreturn]] void callLibrary(const Case &c, const zef_options &options)
{
    char answer[1024] = "garbage";
    int row = -1;
    const int result = c.kind == Cert ? zef_choose_certificate(CERTS, &options, &row)
                       : c.kind == Pin ? zef_ask_pin(answer, c.size, &options)
                                       : zef_choose_directory(answer, c.size, &options);
    if (c.kind == Cert)
        snprintf(answer, sizeof answer, "%d", row);
    // Nothing chosen leaves no part of an answer behind.
    else if (result != ZEF_CHOSEN && std::string(answer, c.size) != std::string(c.size, '\0'))
        strcpy(answer, "not wiped");
    printf("=%s", result == ZEF_CHOSEN || c.kind != Cert ? answer : "");
    fflush(stdout);
    _exit(result);
}

TEST_F(Library, AnswersChosenCancelledTimedOutOrTooLarge)
{
    x.bindCharacters("é");
    for (const Case &c : cases()) {
        harness::Child caller([&] {
            setenv("HOME", home.path().c_str(), 1);
            unsetenv("XAUTHORITY");
            const std::string display = x.display();
            const zef_options options{me().pw_name, display.c_str(), c.timeoutMs,
                                      prompts.path().c_str()};
            callLibrary(c, options);
        });
        expectAnswer(c, caller);
    }
}

// The kit installed into a temporary prefix, once for all the cases: the
// module and the library find their installation's prompts themselves.
class InstalledLibrary : public Library {
protected:
    static void SetUpTestSuite()
    {
        prefix = new harness::TempDir;
        const harness::Result install =
            harness::run({ZEF_CMAKE, "--install", ZEF_BINARY_DIR, "--prefix", prefix->path()});
        ASSERT_EQ(install.status, 0) << install.out;
    }
    static void TearDownTestSuite() { delete prefix; }

    harness::Child start(const std::vector<std::string> &argv)
    {
        // Named by no one, the prompts' user is the desktop session's: here
        // root's, when we are root.
        const std::string display = x.display();
        return harness::Child(argv, {{"HOME", home.path()}, {"DISPLAY", display},
                                     {"XAUTHORITY", std::nullopt},
                                     {"PYTHONPATH", prefix->path() + "/lib/python3/dist-packages"}},
                              {}, [display] { harness::privateDesktop(0, display); });
    }
    // The README's example in language, the code block that holds mark.
    static std::string example(const std::string &language, const std::string &mark)
    {
        const std::string readme = harness::readFile(ZEF_SOURCE_DIR "/README.md").value_or("");
        for (size_t at = 0; (at = readme.find("```" + language + "\n", at)) != std::string::npos;) {
            at += 4 + language.size();
            const std::string block = readme.substr(at, readme.find("```", at) - at);
            if (block.find(mark) != std::string::npos)
                return block;
        }
        return {};
    }

    static harness::TempDir *prefix;
};
harness::TempDir *InstalledLibrary::prefix = nullptr;

TEST_F(InstalledLibrary, PythonModuleAnswersChosenCancelledOrRaisesTimeout)
{
    x.bindCharacters("é");
    const char script[] = R"(
import json, sys, zefkit
kind, timeout = sys.argv[1], int(sys.argv[2]) / 1000 or None
certs = json.loads(sys.argv[3])
ask = {"0": lambda: zefkit.choose_certificate(certs["columns"], certs["certificates"], timeout),
       "1": lambda: zefkit.ask_pin(timeout), "2": lambda: zefkit.choose_directory(timeout)}
try:
    answer = ask[kind]()
    result = 1 if answer is None else 0
except zefkit.Timeout:
    answer, result = None, 3
print("=" + ("" if answer is None else str(answer)), end="")
sys.exit(result))";
    for (const Case &c : cases()) {
        if (c.result == ZEF_ERROR)
            continue;  // the module's buffers fit every answer
        harness::Child caller = start({ZEF_PYTHON, "-c", script, std::to_string(c.kind),
                                       std::to_string(c.timeoutMs), CERTS});
        expectAnswer(c, caller);
    }
    // A timeout beyond the library's int is refused before any prompt starts.
    harness::Child tooLong = start({ZEF_PYTHON, "-c", "import zefkit\n"
                                    "try: zefkit.ask_pin(2**31 / 1000)\n"
                                    "except ValueError: print('refused', end='')"});
    EXPECT_EQ(tooLong.exitStatus(30000), 0);
    EXPECT_EQ(tooLong.output(), "refused");
}

TEST_F(InstalledLibrary, TheReadmesExamplesRunAsTheySay)
{
    const std::string c = example("c", "#include <zefkit/zefclient.h>");
    const std::string python = example("python", "import zefkit");
    ASSERT_FALSE(c.empty() || python.empty());
    std::ofstream(prefix->file("example.c")) << c;
    const harness::Result built = harness::run(
        {ZEF_C_COMPILER, "-Wall", "-Werror", "-I", prefix->path() + "/include",
         prefix->file("example.c"), "-o", prefix->file("example"), "-L",
         prefix->path() + "/" ZEF_INSTALL_LIBDIR, "-lzefclient",
         "-Wl,-rpath," + prefix->path() + "/" ZEF_INSTALL_LIBDIR});
    ASSERT_EQ(built.status, 0) << built.out;

    harness::Child inC = start({prefix->file("example")});
    expectAnswer({"C", Pin, {{"type", "123456"}, {"key", "Return"}}, 0, ZEF_CHOSEN,
                  "PIN of 6 bytes\n"}, inC, "\n");
    harness::Child inPython = start({ZEF_PYTHON, "-c", python});
    expectAnswer({"Python", Cert, {ROW1, CLICK, OK, CLICK}, 0, 0, "row 1\n"}, inPython, "\n");
}
#endif

// Stand-in prompts: scripts in a folder of their own.
class LibraryStandIns : public ::testing::Test {
protected:
    void script(const std::string &name, const std::string &body)
    {
        prompts.write(name, "#!/bin/sh\n" + body + "\n");
        chmod(prompts.file(name).c_str(), 0755);
    }
    zef_options options() const { return {me().pw_name, nullptr, 0, prompts.path().c_str()}; }

    harness::TempDir prompts, home, files;
};

// Its last line comes with the error; the end of what it printed is kept.
TEST_F(LibraryStandIns, APromptThatDiesOrFailsIsAnErrorWithItsLastLine)
{
    const struct {
        const char *body, *line;
        std::string output;
    } cases[] = {
        {"kill -9 $$", "quorrel was killed by signal 9", ""},
        {"echo Qt: cannot connect; echo 'shmget fail' >&2; echo; exit 1",
         "quorrel ended with status 1: shmget fail", "Qt: cannot connect\nshmget fail\n\n"},
        // Escape sequences are shown as '?'; of a long line, the end is kept.
        {"printf '\\033]0;x\\007\\n'; exit 3", "quorrel ended with status 3: ?]0;x?", "?]0;x?\n"},
        {"printf %05000d 7; exit 4", "quorrel ended with status 4: 0000",
         std::string(4095, '0') + "7"},
    };
    for (const auto &c : cases) {
        script("quorrel", c.body);
        char pin[65];
        const zef_options o = options();
        EXPECT_EQ(zef_ask_pin(pin, sizeof pin, &o), ZEF_ERROR);
        const std::string line = zef_last_error();
        EXPECT_EQ(line.substr(0, std::min(line.size(), strlen(c.line))), c.line);
        EXPECT_EQ(zef_last_output(), c.output);
        EXPECT_STREQ(pin, "");
    }
}

TEST_F(LibraryStandIns, APromptGoesWithItsCaller)
{
    script("dirvane", "echo $$ > " + files.file("pid") + "\nexec sleep 600");
    harness::Child caller([&] {
        char path[1024];
        const zef_options o = options();
        zef_choose_directory(path, sizeof path, &o);
    });
    std::string pid;
    for (int i = 0; i < 200 && pid.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pid = harness::readFile(files.file("pid")).value_or("");
    }
    ASSERT_FALSE(pid.empty());
    kill(caller.pid(), SIGKILL);
    caller.wait(10000);
    // Gone, or a zombie that nobody reaps here.
    const std::string stat = "/proc/" + pid.substr(0, pid.size() - 1) + "/stat";
    auto alive = [&] {
        const std::string text = harness::readFile(stat).value_or("");
        return !text.empty() && text.find(") Z ") == std::string::npos;
    };
    for (int i = 0; i < 200 && alive(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(alive());
}

TEST_F(LibraryStandIns, TwoThreadsAskingAtOnceTakeTurns)
{
    // The chooser notes when another is running, and gives each run the
    // next row.
    script("tessary", "mkdir " + files.file("running") + " || echo overlap >> " +
                          files.file("log") + "\nsleep 0.2\nn=$(cat " + files.file("count") +
                          " 2>/dev/null || echo 0)\necho $((n + 1)) > " + files.file("count") +
                          "\nprintf %s $n > \"$HOME/.certlistindex\"\nrmdir " +
                          files.file("running"));
    setenv("HOME", home.path().c_str(), 1);
    int rows[2] = {-1, -1};
    int results[2] = {-1, -1};
    const zef_options o = options();
    std::thread first([&] { results[0] = zef_choose_certificate(CERTS, &o, &rows[0]); });
    results[1] = zef_choose_certificate(CERTS, &o, &rows[1]);
    first.join();
    EXPECT_EQ(results[0], ZEF_CHOSEN) << zef_last_error();
    EXPECT_EQ(results[1], ZEF_CHOSEN) << zef_last_error();
    EXPECT_EQ(std::set<int>(rows, rows + 2), (std::set<int>{0, 1}));
    EXPECT_FALSE(files.read("log")) << *files.read("log");
}

// The caller holds a terminal, a session keyring with a key, a file without
// close-on-exec, blocked and ignored signals and a working folder; the
// prompt gets none of them.
TEST_F(LibraryStandIns, APromptGetsNothingOfItsCallersProcess)
{
    script("quorrel", "{ cut -d' ' -f6,7 /proc/$$/stat; grep -E '^Sig(Blk|Ign)' /proc/$$/status;"
                      " ls -l /proc/$$/fd; keyctl show @s; pwd; } > " + files.file("seen"));
    const harness::Result caller = harness::run([&] {
        const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0 || setsid() < 0 ||
            open(ptsname(terminal), O_RDWR) < 0 ||
            syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) < 0 ||
            syscall(SYS_add_key, "user", "zef-secret", "x", 1, KEY_SPEC_SESSION_KEYRING) < 0 ||
            open(files.file("secret").c_str(), O_CREAT | O_RDWR, 0600) < 0 ||
            chdir(files.path().c_str()) != 0)
            _exit(3);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
        signal(SIGTERM, SIG_IGN);
        printf("%d 0\n", getsid(0));
        char pin[65];
        const zef_options o = options();
        zef_ask_pin(pin, sizeof pin, &o);
    });
    ASSERT_EQ(caller.status, harness::Child::RETURNED) << caller.out;
    const std::string seen = files.read("seen").value_or("");
    const std::string ours = caller.out.substr(0, caller.out.find('\n'));
    const std::string theirs = seen.substr(0, seen.find('\n'));
    EXPECT_NE(theirs, ours) << "session and terminal";
    EXPECT_EQ(theirs.substr(theirs.find(' ')), " 0") << "terminal";
    const struct {
        const char *what;
        std::string part;
        bool there;
    } expected[] = {
        {"nothing blocked", "SigBlk:\t0000000000000000\n", true},
        {"nothing ignored", "SigIgn:\t0000000000000000\n", true},
        {"standard input", "0 -> /dev/null", true},
        {"the caller's file", files.file("secret"), false},
        {"the caller's terminal", "/dev/pts/", false},
        {"the caller's key", "zef-secret", false},
        {"the user's home as the folder", std::string("\n") + me().pw_dir + "\n", true},
    };
    for (const auto &e : expected)
        EXPECT_EQ(seen.find(e.part) != std::string::npos, e.there) << e.what << "\n" << seen;
}

}  // namespace
