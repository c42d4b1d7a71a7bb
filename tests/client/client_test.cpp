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
#include <functional>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

// Whether the process pid is there (a zombie counts as gone).
bool alive(pid_t pid)
{
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    const std::string text = harness::readFile(stat).value_or("");
    return !text.empty() && text.find(") Z ") == std::string::npos;
}

// The real prompts run in the plain build only: sanitized, they would report
// the toolkit's leaks as they exit, and the small environment that the
// library gives them holds none of the tests' sanitizer settings.
#ifdef ZEF_CMAKE
const key_t PIN_KEY = 18945;
const key_t DIR_KEY = 18991;

// A child of a thread of pid but its first (which may have others), -1 when
// there is none at once.
pid_t promptOf(pid_t pid)
{
    const std::string first = std::to_string(pid);
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + first + "/task")) {
        pid_t child = -1;
        if (task.path().filename() != first && std::ifstream(task.path() / "children") >> child)
            return child;
    }
    return -1;
}

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
            {"PIN buffer below ZEF_PIN_MAX, refused before the prompt", Pin, {}, 0, ZEF_ERROR,
             "", ZEF_PIN_MAX - 1},
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

// As root, each call runs while another user keeps a segment of their own
// under each of the prompts' keys, which neither stops nor loses an answer.
TEST_F(Library, AnswersChosenCancelledTimedOutOrTooLarge)
{
    x.bindCharacters("é");
    for (const Case &c : cases()) {
        harness::Child caller([&] {
            if (geteuid() == 0 && harness::privateIpcNamespace()) {
                harness::run([] {
                    if (harness::becomeNobody()) {
                        shmget(PIN_KEY, 48, IPC_CREAT | 0600);
                        shmget(DIR_KEY, 1024, IPC_CREAT | 0600);
                    }
                });
            }
            setenv("HOME", home.path().c_str(), 1);
            unsetenv("XAUTHORITY");
            const std::string display = x.display();
            const zef_options options{me().pw_name, display.c_str(), c.timeoutMs,
                                      prompts.path().c_str(), nullptr};
            callLibrary(c, options);
        });
        expectAnswer(c, caller);
    }
}

// The calls in two halves: the descriptor is readable once the prompt has
// ended, by the user's answer or a cancel from another thread, which leaves
// neither the prompt nor a segment behind.
TEST_F(Library, StartPollFinishOrCancelFromAnotherThread)
{
    setenv("HOME", home.path().c_str(), 1);
    unsetenv("XAUTHORITY");
    const std::string display = x.display();
    const zef_options o{me().pw_name, display.c_str(), 0, prompts.path().c_str(), nullptr};
    // Whatever the machine holds under the keys stays as it is.
    const auto pinSegment = harness::readSegment(PIN_KEY), dirSegment = harness::readSegment(DIR_KEY);
    const std::vector<Case> cases = {
        {"certificate chosen", Cert, {ROW1, CLICK, OK, CLICK}, 0, ZEF_CHOSEN, "1"},
        {"PIN chosen", Pin, {{"type", "654321"}, {"key", "Return"}}, 0, ZEF_CHOSEN, "654321"},
        {"directory chosen", Dir, {{"type", home.file("chosen")}, {"key", "Return"}}, 0,
         ZEF_CHOSEN, home.file("chosen")},
        {"certificate cancelled", Cert, {}, 0, ZEF_CANCELLED, "-1"},
        {"PIN cancelled", Pin, {}, 0, ZEF_CANCELLED, ""},
        {"directory cancelled", Dir, {}, 0, ZEF_CANCELLED, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zef_call *call = nullptr;
        const int started = c.kind == Cert ? zef_start_certificate(CERTS, &o, &call)
                            : c.kind == Pin ? zef_start_pin(&o, &call)
                                            : zef_start_directory(&o, &call);
        ASSERT_EQ(started, ZEF_CHOSEN) << zef_last_error();
        // Started by the call's thread, after the start has returned.
        pid_t prompt = -1;
        for (int i = 0; i < 400 && (prompt = promptOf(getpid())) < 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const std::string window = x.focusWindow(prompt);
        ASSERT_FALSE(window.empty());
        pollfd ended{zef_call_fd(call), POLLIN, 0};
        EXPECT_EQ(poll(&ended, 1, 0), 0);
        if (c.steps.empty())
            std::thread([call] { zef_cancel(call); }).join();
        else
            x.play(window, c.steps);
        EXPECT_EQ(poll(&ended, 1, 30000), 1);

        char answer[1024] = "garbage";
        int row = -1;
        EXPECT_EQ(c.kind == Cert ? zef_finish_certificate(call, &row)
                  : c.kind == Pin ? zef_finish_pin(call, answer, sizeof answer)
                                  : zef_finish_directory(call, answer, sizeof answer),
                  c.result) << zef_last_error();
        EXPECT_EQ(c.kind == Cert ? std::to_string(row) : std::string(answer), c.answer);
        EXPECT_FALSE(alive(prompt));
        EXPECT_EQ(harness::readSegment(PIN_KEY), pinSegment);
        EXPECT_EQ(harness::readSegment(DIR_KEY), dirSegment);
        for (const char *name : {".certInfoColumn", ".certInfoList", ".certlistindex"})
            EXPECT_FALSE(std::filesystem::exists(home.file(name))) << name;
    }
}

// Two callers ask for the PIN at once; the first is stopped between its
// prompt's end and its taking the answer. The second caller's prompt waits
// for the first call to end, and each gets the PIN typed for it.
TEST_F(Library, TwoProcessesAskingForThePinEachGetTheirOwn)
{
    const std::string display = x.display();
    const zef_options o{me().pw_name, display.c_str(), 0, prompts.path().c_str(), nullptr};
    setenv("HOME", home.path().c_str(), 1);
    unsetenv("XAUTHORITY");
    harness::Child first([&] {
        zef_call *call = nullptr;
        if (zef_start_pin(&o, &call) != ZEF_CHOSEN)
            _exit(9);
        pollfd ended{zef_call_fd(call), POLLIN, 0};
        poll(&ended, 1, -1);
        raise(SIGSTOP);
        char pin[ZEF_PIN_MAX];
        const int result = zef_finish_pin(call, pin, sizeof pin);
        printf("=%s", pin);
        fflush(stdout);
        _exit(result);
    });
    const std::string window = x.focusWindow(harness::childOf(first.pid()));
    ASSERT_FALSE(window.empty()) << first.output();
    x.play(window, {{"type", "55555555"}, {"key", "Return"}});
    const std::string stat = "/proc/" + std::to_string(first.pid()) + "/stat";
    for (int i = 0; i < 600 && harness::readFile(stat).value_or("").find(") T ") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    harness::Child second([&] { callLibrary({"second", Pin, {}, 0, 0, ""}, o); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(promptOf(second.pid()), -1) << "the second prompt is up while the first call runs";
    kill(first.pid(), SIGCONT);
    EXPECT_EQ(first.exitStatus(30000), ZEF_CHOSEN) << first.output() << "\n---\n" << second.output();
    EXPECT_EQ(first.output().substr(first.output().rfind('\n') + 1), "=55555555");
    expectAnswer({"second", Pin, {{"type", "66666666"}, {"key", "Return"}}, 0, ZEF_CHOSEN,
                  "66666666"}, second);
}

// A root service asks two desktop users (root and nobody), each on a display
// of their own, for their PIN at once: both prompts are up together, and each
// call gets the PIN typed into its own. (On one display the first prompt
// would hold the keyboard the second one's PIN is typed on.)
TEST_F(Library, TwoUsersAskedAtOnceEachGetTheirOwnPin)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to ask a second user";
    // Where nobody can run it: the build tree may lie where they cannot.
    harness::TempDir shared;
    std::filesystem::copy_file(ZEF_BINARY_DIR "/quorrel/quorrel", shared.file("quorrel"));
    ASSERT_EQ(chmod(shared.path().c_str(), 0755), 0);
    setenv("HOME", home.path().c_str(), 1);
    unsetenv("XAUTHORITY");
    harness::XServer other;
    harness::XServer *const displays[] = {&x, &other};
    const char *const users[] = {"root", "nobody"};
    std::vector<std::unique_ptr<harness::Child>> callers;
    std::vector<pid_t> prompts;
    for (const int i : {0, 1}) {
        const std::string display = displays[i]->display();
        const zef_options o{users[i], display.c_str(), 0, shared.path().c_str(), nullptr};
        callers.push_back(std::make_unique<harness::Child>(
            [&] { callLibrary({users[i], Pin, {}, 0, 0, ""}, o); }));
        prompts.push_back(harness::childOf(callers.back()->pid()));
        ASSERT_FALSE(displays[i]->focusWindow(prompts.back()).empty()) << callers.back()->output();
    }
    for (const int i : {1, 0}) {
        SCOPED_TRACE(users[i]);
        const std::string pin = std::string(8, static_cast<char>('1' + i));
        displays[i]->play(displays[i]->focusWindow(prompts[i]), {{"type", pin}, {"key", "Return"}});
        EXPECT_EQ(callers[i]->exitStatus(30000), ZEF_CHOSEN) << callers[i]->output();
        const std::string out = callers[i]->output();
        EXPECT_EQ(out.substr(out.rfind('=')), "=" + pin);
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
                                     {"PYTHONPATH", prefix->path() + "/lib/python3/dist-packages"},
                                     {"LD_LIBRARY_PATH", prefix->path() + "/" ZEF_INSTALL_LIBDIR}},
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
except TimeoutError as e:
    # The prompt's routine lines are in its output, not in the line.
    assert isinstance(e, zefkit.Timeout) and e.kind == 5 and isinstance(e.output, str), e
    assert str(e).endswith(" gave no answer within %d ms and was closed" % (timeout * 1000)), e
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
                                    "except zefkit.BadInput as e: print('refused', e.kind, end='')"});
    EXPECT_EQ(tooLong.exitStatus(30000), 0);
    EXPECT_EQ(tooLong.output(), "refused 1");
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
    // The USB key pulled: the prompt closes and the call is cancelled.
    harness::Child pulled = start({prefix->file("example")});
    ASSERT_FALSE(x.focusWindow(harness::childOf(pulled.pid())).empty());
    kill(pulled.pid(), SIGUSR1);
    expectAnswer({"C, key pulled", Pin, {}, 0, ZEF_CANCELLED, "no PIN\n"}, pulled, "\n");
    harness::Child inPython = start({ZEF_PYTHON, "-c", python});
    expectAnswer({"Python", Cert, {ROW1, CLICK, OK, CLICK}, 0, 0, "row 1\n"}, inPython, "\n");
}

// An integrator's copy of zefcall, built from its sources with what the
// installed kit's pkg-config files give (and cJSON's), asks as the original.
TEST_F(InstalledLibrary, ZefcallBuildsOnTheInstalledKitAlone)
{
    const harness::EnvChanges pc{{"PKG_CONFIG_PATH", prefix->path() + "/" ZEF_INSTALL_LIBDIR "/pkgconfig"}};
    const harness::Result flags =
        harness::run({"pkg-config", "--cflags", "--libs", "libzefclient", "libcjson"}, pc);
    // Its header only: the log library is loaded at run time.
    const harness::Result logFlags = harness::run({"pkg-config", "--cflags", "libzeflog"}, pc);
    ASSERT_EQ(flags.status + logFlags.status, 0) << flags.out << logFlags.out;
    // Beside the installed prompts, where it looks for them first.
    const std::string copy = prefix->path() + "/" ZEF_INSTALL_BINDIR "/zefcall-copy";
    std::vector<std::string> build{ZEF_CXX_COMPILER, "-std=c++17", "-Wall", "-Werror", "-o", copy};
    for (const auto &source : std::filesystem::directory_iterator(ZEF_SOURCE_DIR "/caller")) {
        if (source.path().extension() == ".cpp")
            build.push_back(source.path());
    }
    std::istringstream words(flags.out + " " + logFlags.out + " -ldl");
    for (std::string word; words >> word;)
        build.push_back(word);
    const harness::Result built = harness::run(build);
    ASSERT_EQ(built.status, 0) << built.out;
    harness::Child asked = start({copy, "pin"});
    expectAnswer({"zefcall's copy", Pin, {{"type", "123456"}, {"key", "Return"}}, 0, ZEF_CHOSEN,
                  "PIN received (6 characters)\n"}, asked, "\n");
}

// Waits until the caller has printed lines.
bool printed(harness::Child &caller, const std::string &lines)
{
    for (int i = 0; i < 1200 && caller.output().find(lines) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return caller.output().find(lines) != std::string::npos;
}

// The examples, as a service runs them: each asks twice or three times at
// once and gets the PIN typed in the first prompt; the USB key pulled, or
// SIGTERM, cancels the calls that are left, shown or waiting.
TEST_F(InstalledLibrary, TheExamplesAskAtOnceAndCancelOnAPulledKeyOrSigterm)
{
    // Which of the calls started at once comes first is not fixed.
    const struct {
        std::vector<std::string> argv;
        int signal;
        std::string first, rest;
    } cases[] = {
        {{ZEF_BINARY_DIR "/examples/glib-daemon", "3"}, SIGUSR1, "PIN of 6 bytes\n",
         "no PIN\nno PIN\nlongest heartbeat gap: "},
        {{ZEF_BINARY_DIR "/examples/glib-daemon", "2"}, SIGTERM, "PIN of 6 bytes\n",
         "stopping\nno PIN\nlongest heartbeat gap: "},
        {{ZEF_PYTHON, ZEF_SOURCE_DIR "/examples/asyncio-service.py", "2"}, SIGTERM,
         ": PIN of 6 characters\n", ": cancelled\nlongest heartbeat gap: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[0]);
        harness::Child service = start(c.argv);
        const std::string first = x.focusWindow(harness::childOf(service.pid()));
        ASSERT_FALSE(first.empty()) << service.output();
        x.play(first, {{"type", "123456"}, {"key", "Return"}});
        ASSERT_TRUE(printed(service, c.first)) << service.output();
        const pid_t second = harness::childOf(service.pid());
        ASSERT_FALSE(x.focusWindow(second).empty()) << service.output();
        kill(service.pid(), c.signal);
        EXPECT_EQ(service.exitStatus(30000), 0);
        const std::string out = service.output();
        EXPECT_NE(out.find(c.first), std::string::npos) << out;
        EXPECT_NE(out.find(c.rest, out.find(c.first)), std::string::npos) << out;
        EXPECT_FALSE(alive(second));
        // The loop's longest pause while a prompt was up and a call waited.
        std::cout << c.argv.back() << ": " << out.substr(out.rfind("longest")) << std::flush;
    }
}

// The systemd unit's service as systemd starts it, as root with no DISPLAY,
// XAUTHORITY or HOME, on an X server that admits only the holders of its
// cookie: the user, their display and their cookie come from logind's
// records and the user's session.
TEST_F(InstalledLibrary, TheSystemdUnitsRootServiceFindsTheUserDisplayAndCookie)
{
    const std::string unit = harness::readFile(ZEF_BINARY_DIR "/examples/zefkit-pin-example.service").value_or("");
    const size_t exec = unit.find("\nExecStart=");
    ASSERT_NE(exec, std::string::npos) << unit;
    if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
        prefix->write("zefkit-pin-example.service", unit);
        const harness::Result verified =
            harness::run({"systemd-analyze", "verify", prefix->file("zefkit-pin-example.service")});
        EXPECT_EQ(verified.status, 0) << verified.out;
    }
    // The command line's words, a quoted one (a path with a blank) whole.
    std::vector<std::string> argv;
    std::istringstream words(unit.substr(exec + 11, unit.find('\n', exec + 1) - exec - 11));
    for (std::string word; words >> std::quoted(word);)
        argv.push_back(word);

    harness::TempDir cookies;
    const std::string cookie = "fedcba98765432100123456789abcdef";
    ASSERT_EQ(harness::run({"xauth", "-f", cookies.file("server"), "add", ":0",
                            "MIT-MAGIC-COOKIE-1", cookie}).status, 0);
    const harness::XServer locked("1280x1024", cookies.file("server"));
    const std::string display = locked.display();
    // xdotool needs it too, under the display's number.
    ASSERT_EQ(harness::run({"xauth", "-f", cookies.file("client"), "add", display,
                            "MIT-MAGIC-COOKIE-1", cookie}).status, 0);
    setenv("XAUTHORITY", cookies.file("client").c_str(), 1);
    harness::Child service(argv, {{"HOME", std::nullopt}, {"DISPLAY", std::nullopt},
                                  {"XAUTHORITY", std::nullopt},
                                  {"LD_LIBRARY_PATH", prefix->path() + "/" ZEF_INSTALL_LIBDIR}},
                           {}, [&] {
        // Where gdm keeps the session's cookie.
        if (!harness::privateDesktop(0, display) || mkdir("/run/user/0/gdm", 0700) != 0)
            _exit(9);
        harness::run({"xauth", "-f", "/run/user/0/gdm/Xauthority", "add", display,
                      "MIT-MAGIC-COOKIE-1", cookie});
    });
    const std::string window = locked.focusWindow(harness::childOf(service.pid()));
    EXPECT_FALSE(window.empty()) << service.output();
    if (!window.empty())
        locked.play(window, {{"type", "654321"}, {"key", "Return"}});
    EXPECT_TRUE(printed(service, "PIN of 6 bytes\n")) << service.output();
    EXPECT_EQ(service.exitStatus(30000), 0);
    unsetenv("XAUTHORITY");
}

// Ctrl-C in a blocking call, or the task of an async call cancelled (here
// on SIGUSR1): the prompt is gone within a second.
TEST_F(InstalledLibrary, CtrlCOrACancelledTaskInPythonClosesThePrompt)
{
    const std::vector<std::pair<std::string, int>> cases = {
        {"import zefkit\ntry: zefkit.ask_pin()\n"
         "except KeyboardInterrupt: print('interrupted', end='')", SIGINT},
        {"import asyncio, signal, zefkit\n"
         "async def main():\n"
         "    task = asyncio.create_task(zefkit.choose_directory_async())\n"
         "    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR1, task.cancel)\n"
         "    try: await task\n"
         "    except asyncio.CancelledError: print('interrupted', end='')\n"
         "asyncio.run(main())", SIGUSR1},
    };
    for (const auto &[script, signal] : cases) {
        SCOPED_TRACE(script);
        harness::Child caller = start({ZEF_PYTHON, "-c", script});
        const pid_t prompt = harness::childOf(caller.pid());
        ASSERT_FALSE(x.focusWindow(prompt).empty()) << caller.output();
        kill(caller.pid(), signal);
        for (int i = 0; i < 20 && alive(prompt); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(alive(prompt));
        EXPECT_EQ(caller.exitStatus(30000), 0);
        const std::string out = caller.output();
        EXPECT_EQ(out.substr(out.size() - std::min<size_t>(out.size(), 11)), "interrupted") << out;
    }
}
#endif

// Stand-in prompts: scripts in a folder of their own.
class LibraryStandIns : public ::testing::Test {
protected:
    void SetUp() override { setenv("HOME", home.path().c_str(), 1); }
    void script(const std::string &name, const std::string &body)
    {
        prompts.write(name, "#!/bin/sh\n" + body + "\n");
        chmod(prompts.file(name).c_str(), 0755);
    }
    zef_options options() const
    {
        return {me().pw_name, m_display.c_str(), 0, prompts.path().c_str(), nullptr};
    }

    harness::TempDir prompts, home, files;
    harness::XServer x;

private:
    const std::string m_display = x.display();
};

// Its last line comes with the error; the end of what it printed is kept.
TEST_F(LibraryStandIns, APromptThatDiesOrFailsIsAnErrorWithItsLastLine)
{
    const struct {
        const char *body, *line;
        std::string output;
    } cases[] = {
        {"kill -9 $$", "quorrel was killed by signal 9", ""},
        // Of its routine lines, none.
        {"echo Qt: cannot connect; echo 'shmget fail' >&2; echo ENOENT; echo; "
         "echo 'QStandardPaths: XDG_RUNTIME_DIR not set'; exit 1",
         "quorrel ended with status 1: shmget fail",
         "Qt: cannot connect\nshmget fail\nENOENT\n\nQStandardPaths: XDG_RUNTIME_DIR not set\n"},
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

// Each failure has its kind and its line, and the next good call clears
// them. The chooser's list comes through its descriptor; nothing is written
// into HOME, whatever the outcome.
TEST_F(LibraryStandIns, EachFailureHasItsKindAndItsLine)
{
    script("quorrel", "kill -9 $$");
    script("tessary", "cat <&$ZEF_CERT_LIST_FD > " + files.file("list") +
                          "\nprintf 1 >&$ZEF_RESULT_FD");
    const std::string columns = R"({"columns": [{"title": "S", "member": "DN"}], )";
    std::string hundred = R"({"columns": [)";
    for (int i = 0; i < 100; ++i)
        hundred += std::string(i ? "," : "") + R"({"title": "S", "member": "DN"})";
    const zef_options o = options();
    zef_options noDisplay = o, noUser = o, noPrompts = o;
    noDisplay.display = ":4242";
    noUser.user = "no-such-user";
    noPrompts.prompt_dir = files.path().c_str();
    char pin[ZEF_PIN_MAX];
    int row = -1;
    struct Case {
        const char *what;
        std::function<int()> call;
        int kind;
        std::string line;
    };
    const Case cases[] = {
        {"prompt killed", [&] { return zef_ask_pin(pin, sizeof pin, &o); }, ZEF_E_PROMPT,
         "quorrel was killed by signal 9"},
        {"no display", [&] { return zef_ask_pin(pin, sizeof pin, &noDisplay); }, ZEF_E_DISPLAY,
         "cannot open display :4242"},
        {"no such user", [&] { return zef_ask_pin(pin, sizeof pin, &noUser); }, ZEF_E_USER,
         "no user \"no-such-user\""},
        {"prompt missing", [&] { return zef_ask_pin(pin, sizeof pin, &noPrompts); }, ZEF_E_PROMPT,
         "cannot start " + files.file("quorrel") + ": No such file or directory"},
        {"PIN buffer too small", [&] { return zef_ask_pin(pin, ZEF_PIN_MAX - 1, &o); },
         ZEF_E_INPUT, "a PIN buffer needs ZEF_PIN_MAX (65) bytes, not 64"},
        // No place for the answer: refused before a prompt is shown, and at a
        // finish the prompt closed, as for the PIN.
        {"no path buffer", [&] { return zef_choose_directory(nullptr, 0, &o); }, ZEF_E_INPUT,
         "no buffer for the answer of dirvane"},
        {"no path buffer at the finish",
         [&] {
             zef_call *call = nullptr;
             zef_start_directory(&o, &call);
             return zef_finish_directory(call, nullptr, 0);
         },
         ZEF_E_INPUT, "no buffer for the answer of dirvane"},
        {"no certificates",
         [&] { return zef_choose_certificate((columns + R"("certificates": []})").c_str(), &o, &row); },
         ZEF_E_INPUT, "\"certificates\" must be an array of at least one certificate"},
        {"100 columns",
         [&] { return zef_choose_certificate((hundred + R"(], "certificates": [{"DN": "x"}]})").c_str(), &o, &row); },
         ZEF_E_INPUT, "\"columns\" must be an array of 1 to 99 columns"},
        {"a good call", [&] { return zef_choose_certificate(CERTS, &o, &row); }, ZEF_E_NONE, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.kind == ZEF_E_NONE ? ZEF_CHOSEN : ZEF_ERROR);
        EXPECT_EQ(zef_last_error_kind(), c.kind);
        EXPECT_EQ(zef_last_error(), c.line);
        EXPECT_TRUE(std::filesystem::is_empty(home.path()));
    }
    EXPECT_EQ(row, 1);
    // '[' encoded twice.
    EXPECT_EQ(files.read("list").value_or("").substr(0, 5), "%255B");
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
    const pid_t prompt = std::stoi(pid);
    for (int i = 0; i < 200 && alive(prompt); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(alive(prompt));
}

// Another caller holds the PIN prompt's lock file: a call waits for it
// until its timeout, and its prompt never starts.
TEST_F(LibraryStandIns, AnotherCallersLockIsWaitedForUntilTheTimeout)
{
    script("quorrel", ": > " + files.file("started"));
    const bool run = std::filesystem::is_directory("/run/user/" + std::to_string(geteuid()));
    const std::string folder =
        (run ? "/run/user/" : "/tmp/zefkit-") + std::to_string(geteuid());
    mkdir(folder.c_str(), 0700);
    const int held = open((folder + "/zefkit-quorrel.lock").c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    zef_options o = options();
    o.timeout_ms = 300;
    char pin[ZEF_PIN_MAX];
    EXPECT_EQ(zef_ask_pin(pin, sizeof pin, &o), ZEF_TIMEOUT);
    EXPECT_STREQ(zef_last_error(), "another call kept quorrel busy until the timeout");
    EXPECT_EQ(zef_last_error_kind(), ZEF_E_TIMEOUT);
    close(held);
    EXPECT_FALSE(files.read("started"));
}

// A prompt that someone else could have put there or replaced never runs:
// the program, its folder or one above it another user's, or writable by
// others. The line names the path. A folder of root's with the sticky bit
// above, as /tmp is above these, is no reason to refuse.
TEST_F(LibraryStandIns, APromptOthersCouldHaveReplacedNeverRuns)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    const struct {
        const char *what;
        std::string mode;  // run in the folder above bin/
        std::string named;
    } cases[] = {
        {"the program another user's", "chown 65534 bin/quorrel", "/bin/quorrel belongs to uid 65534"},
        {"the program writable by its group", "chmod 775 bin/quorrel", "/bin/quorrel is writable"},
        {"its folder another user's", "chown 65534 bin", "/bin belongs to uid 65534"},
        {"its folder writable by others", "chmod 777 bin", "/bin is writable"},
        {"a folder above another user's, sticky", "chown 65534 . && chmod 1777 .",
         " belongs to uid 65534"},
        {"a link to another user's program",
         "mv bin/quorrel theirs && chown 65534 theirs && ln -s ../theirs bin/quorrel",
         "/theirs belongs to uid 65534"},
        {"a link to a program of ours", "mv bin/quorrel ours && ln -s ../ours bin/quorrel", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        harness::TempDir above;
        ASSERT_EQ(mkdir(above.file("bin").c_str(), 0755), 0);
        above.write("bin/quorrel", "#!/bin/sh\n: > " + files.file("ran") + "\n");
        ASSERT_EQ(harness::run({"sh", "-c", "chmod 755 bin/quorrel && " + c.mode}, {},
                               above.path()).status, 0);
        zef_options o = options();
        const std::string bin = above.file("bin");
        o.prompt_dir = bin.c_str();
        char pin[ZEF_PIN_MAX];
        std::filesystem::remove(files.file("ran"));
        const int result = zef_ask_pin(pin, sizeof pin, &o);
        if (c.named.empty()) {
            EXPECT_EQ(result, ZEF_CANCELLED) << zef_last_error();
            EXPECT_TRUE(files.read("ran"));
            continue;
        }
        EXPECT_EQ(result, ZEF_ERROR);
        EXPECT_EQ(zef_last_error_kind(), ZEF_E_PROMPT);
        EXPECT_NE(std::string(zef_last_error()).find(above.path() + c.named), std::string::npos)
            << zef_last_error();
        EXPECT_FALSE(files.read("ran"));
        harness::run({"chown", "-R", "0", above.path()});
    }
}

// A lock folder that another user made first for the prompts' user (here
// daemon's, with a lock file in it that they hold) neither denies the call
// nor makes it wait.
TEST_F(LibraryStandIns, ALockFolderAnotherUserMadeFirstNeitherDeniesNorMisleads)
{
    const passwd *daemon = getpwnam("daemon");
    const std::string folder = "/tmp/zefkit-" + std::to_string(daemon ? daemon->pw_uid : 0);
    if (geteuid() != 0 || !daemon || mkdir(folder.c_str(), 0700) != 0)
        GTEST_SKIP() << "needs root, a user daemon and no " << folder;
    const int held = open((folder + "/zefkit-quorrel.lock").c_str(), O_RDONLY | O_CREAT, 0600);
    EXPECT_EQ(flock(held, LOCK_EX) | chown(folder.c_str(), 12345, 12345), 0);
    script("quorrel", "exit 0");
    ASSERT_EQ(chmod(prompts.path().c_str(), 0755), 0);
    zef_options o = options();
    o.user = "daemon";
    o.timeout_ms = 20000;
    char pin[ZEF_PIN_MAX];
    EXPECT_EQ(zef_ask_pin(pin, sizeof pin, &o), ZEF_CANCELLED) << zef_last_error();
    close(held);
    std::filesystem::remove_all(folder);
}

void reapEveryChild(int)
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// The caller's SIGCHLD handling takes the prompt's end from the library
// (SIGCHLD ignored, or a handler that reaps every child), the prompt ending
// at once or after a while: the answer still comes, through the channel.
TEST_F(LibraryStandIns, AnswersSurviveTheCallersSigchldHandling)
{
    const std::string text = "{\"status\":1, \"pathName\":\"/chosen\"}";
    const std::string handOver = "{ printf %s '" + text + "'; head -c " +
                                 std::to_string(1024 - text.size()) + " /dev/zero; } >&$ZEF_RESULT_FD";
    for (const char *wait : {"", "sleep 0.3; "}) {
        script("dirvane", wait + handOver);
        for (void (*handler)(int) : {SIG_IGN, reapEveryChild}) {
            SCOPED_TRACE(std::string(wait) + (handler == SIG_IGN ? "ignored" : "reaped"));
            const harness::Result r = harness::run([&] {
                struct sigaction sa {};
                sa.sa_handler = handler;
                sa.sa_flags = SA_RESTART;
                sigaction(SIGCHLD, &sa, nullptr);
                char path[1024];
                const zef_options o = options();
                const int result = zef_choose_directory(path, sizeof path, &o);
                printf("%d %s%s", result, result == ZEF_CHOSEN ? path : "", zef_last_error());
            });
            EXPECT_EQ(r.out, "0 /chosen");
        }
    }
}

// A start never waits, also on a thread that runs every call itself: while
// another call holds the kind, it returns at once, and the waiting calls'
// prompts come once that call is over, in the order of their starts. A call
// cancelled while it waits is over at once and never shows its prompt.
TEST_F(LibraryStandIns, AStartNeverWaitsAndACallCancelledWhileItWaitsShowsNoPrompt)
{
    // Each run notes its start (by its message), waits to be let go and
    // notes its end.
    const std::string log = files.file("log"), go = files.file("go");
    script("quorrel", "echo start $ZEF_PIN_MESSAGE >> " + log + "\nwhile [ ! -e " + go +
                          " ]; do sleep 0.01; done\nrm " + go + "\necho end >> " + log);
    const auto logIs = [&](const std::string &text) {
        for (int i = 0; i < 400 && files.read("log").value_or("") != text; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        return files.read("log").value_or("") == text;
    };
    // No timeout: a start that waited for the first call would never return.
    const char *const messages[] = {"0", "1", "2", "3", "4"};
    zef_call *calls[5] = {};
    for (int i = 0; i < 5; ++i) {
        zef_options o = options();
        o.message = messages[i];
        ASSERT_EQ(zef_start_pin(&o, &calls[i]), ZEF_CHOSEN) << zef_last_error();
        if (i == 0) {
            ASSERT_TRUE(logIs("start 0\n"));
        }
    }
    zef_cancel(calls[1]);
    pollfd cancelled{zef_call_fd(calls[1]), POLLIN, 0};
    EXPECT_EQ(poll(&cancelled, 1, 30000), 1);
    for (int i : {0, 2, 3, 4}) {
        pollfd over{zef_call_fd(calls[i]), POLLIN, 0};
        EXPECT_EQ(poll(&over, 1, 0), 0) << i;
    }
    char pin[ZEF_PIN_MAX];
    std::string expected = "start 0\n";
    for (int i : {0, 2, 3, 4}) {
        ASSERT_TRUE(logIs(expected));
        files.write("go", "");
        EXPECT_EQ(zef_finish_pin(calls[i], pin, sizeof pin), ZEF_CANCELLED);  // it left no PIN
        expected += i == 4 ? "end\n" : "end\nstart " + std::string(messages[i == 0 ? 2 : i + 1]) + "\n";
    }
    EXPECT_EQ(files.read("log"), expected);
    // Finished last, the cancelled call held up none of them.
    EXPECT_EQ(zef_finish_pin(calls[1], pin, sizeof pin), ZEF_CANCELLED);
}

// A process that ends while a cancelled call's thread still waits for the
// kind, its prompt shown by another call, ends all the same.
TEST_F(LibraryStandIns, AProcessEndsWhileACancelledCallStillWaits)
{
    script("quorrel", ": > " + files.file("shown") + "; exec sleep 600");
    const harness::Result ended = harness::run([&] {
        const zef_options o = options();
        zef_call *shown = nullptr, *waiting = nullptr;
        char pin[ZEF_PIN_MAX];
        if (zef_start_pin(&o, &shown) != ZEF_CHOSEN)
            _exit(3);
        while (!files.read("shown"))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (zef_start_pin(&o, &waiting) != ZEF_CHOSEN)
            _exit(3);
        // Time for its thread to reach the turn.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        zef_cancel(waiting);
        exit(zef_finish_pin(waiting, pin, sizeof pin));
    }, 20000);
    EXPECT_EQ(ended.status, ZEF_CANCELLED) << ended.out;
}

TEST_F(LibraryStandIns, TwoThreadsAskingAtOnceTakeTurns)
{
    // The chooser notes when another is running, and gives each run the
    // next row.
    script("tessary", "mkdir " + files.file("running") + " || echo overlap >> " +
                          files.file("log") + "\nsleep 0.2\nn=$(cat " + files.file("count") +
                          " 2>/dev/null || echo 0)\necho $((n + 1)) > " + files.file("count") +
                          "\nprintf %s $n >&$ZEF_RESULT_FD\nrmdir " +
                          files.file("running"));
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
    // The shell's own masks, read by a builtin: while dash starts a program
    // it blocks every signal until the program runs, which a grep could see.
    script("quorrel", "{ cut -d' ' -f6,7 /proc/$$/stat; while read -r l; do case $l in "
                      "SigBlk:*|SigIgn:*) echo \"$l\";; esac; done < /proc/$$/status;"
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
