// zefcall's pieces, and the program wherever it needs no display: its
// command line, its checks of FILE, and prompts played by small scripts.
#include "dialog.h"  // the chooser's decoding, which must undo our encoding
#include "harness.h"
#include "pinoracle.h"
#include "client.h"
#include "segment_expect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace fs = std::filesystem;

namespace {

const std::string ZEFCALL = ZEF_BINARY_DIR "/caller/zefcall";

TEST(PercentEncode, TwoPassesComeBackThroughTheChoosersDecoding)
{
    const std::string text = "{\"01Gültig bis\":\"Not After\",\"02100% \\\"sure\\\"\":\"a+b/c\"}";
    const std::string stored = percentEncode(percentEncode(text));
    EXPECT_EQ(stored.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789-_.!~*'()%"),
              std::string::npos)
        << stored;
    EXPECT_EQ(JsonUrlDecode(stored), text);
}

std::optional<std::string> pinOf(const std::string &segment)
{
    unsigned char bytes[PIN_SEGMENT_SIZE];
    memcpy(bytes, segment.data(), sizeof bytes);
    char pin[PIN_BLOCK_SIZE + 1];
    memset(pin, 'x', sizeof pin);
    const bool ok = pinFromSegment(bytes, pin);
    if (!ok) {
        EXPECT_EQ(std::string(pin, sizeof pin), std::string(sizeof pin, '\0'));
        return std::nullopt;
    }
    return std::string(pin);
}

TEST(PinFromSegment, TakesTheBytesBeforeTheFirstZeroAndRefusesWhatIsNoPinBlock)
{
    EXPECT_EQ(pinOf(encryptPin(pinPlaintext("123456"))), "123456");
    EXPECT_EQ(pinOf(encryptPin(pinPlaintext(std::string("ab\0cd", 5)))), "ab");
    const std::string full(32, '\xE9');
    EXPECT_EQ(pinOf(encryptPin(pinPlaintext(full))), full);

    const unsigned char otherKey[16] = {1, 2, 3};
    EXPECT_FALSE(pinOf(encryptPin(pinPlaintext("123456"), otherKey)));
    // A last byte of 16 alone is not the padding block.
    EXPECT_FALSE(pinOf(encryptPin("123456" + std::string(41, '\0') + "\x10")));
}

TEST(ParseDirResult, ReadsTheFixedShapeWhateverThePathHolds)
{
    DirResult r;
    ASSERT_TRUE(parseDirResult("{\"status\":2, \"pathName\":\"\"}", r));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.path, "");

    const std::string path = "/tmp/证书 \"a\\b\"}, \"x\":\"";
    ASSERT_TRUE(parseDirResult("{\"status\":1, \"pathName\":\"" + path + "\"}", r));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.path, path);

    for (const std::string bad : {"", "{\"status\":, \"pathName\":\"\"}",
                                  "{\"status\":-1, \"pathName\":\"\"}",
                                  "{\"status\":1,\"pathName\":\"/a\"}",
                                  "{\"status\":1, \"pathName\":\"/a",
                                  "{\"status\":1, \"pathName\":\"/a\"} ",
                                  "{\"status\":1, \"pathName\":\"}",
                                  "{\"status\":12345678901, \"pathName\":\"\"}"})
        EXPECT_FALSE(parseDirResult(bad, r)) << bad;
}

// One line starting "zefcall: ", nothing else.
void expectOneErrorLine(const harness::Result &r, const std::string &what)
{
    EXPECT_EQ(r.status, 2) << what;
    EXPECT_EQ(r.out.rfind("zefcall: ", 0), 0u) << what << ": " << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << what << ": " << r.out;
}

TEST(ZefcallCommandLine, HelpListsTheCommandsAndWrongUseIsOneLineWithStatus2)
{
    harness::Result help = harness::run({ZEFCALL, "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *command :
         {"cert FILE", "pin [--show]", "dir", "log LEVEL MESSAGE", "--user NAME", "--timeout MS",
          "--message TEXT"})
        EXPECT_NE(help.out.find("  " + std::string(command) + " "), std::string::npos) << command;

    const std::vector<std::vector<std::string>> wrong = {
        {}, {"bogus"}, {"--help", "x"}, {"cert"}, {"cert", "a", "b"}, {"pin", "--shw"},
        {"dir", "x"}, {"log", "ERROR"}, {"log", "LOUD", "message"}, {"log", "7", "message"},
        {"log", "6", "message"}, {"log", "", "message"}, {"log", "error", "a", "b"},
        {"--user"}, {"--user", "pin"}, {"--user", "no-such-user", "pin"},
        {"--timeout", "0", "pin"}, {"--timeout", "5x", "pin"}, {"--timeout", "", "pin"},
        {"--timeout", "2147483648", "pin"}, {"--message"}};
    for (const auto &args : wrong) {
        std::vector<std::string> argv{ZEFCALL};
        argv.insert(argv.end(), args.begin(), args.end());
        expectOneErrorLine(harness::run(argv), args.empty() ? "no arguments" : args[0]);
    }
}

// A prompt played by a shell script, in a folder of its own put on PATH.
class Prompts : public ::testing::Test {
protected:
    void script(const std::string &name, const std::string &body)
    {
        bin.write(name, "#!/bin/sh\n" + body + "\n");
        chmod(bin.file(name).c_str(), 0755);
    }
    harness::EnvChanges environment(harness::EnvChanges env = {})
    {
        env["PATH"] = bin.path() + ":/usr/bin:/bin";
        env["HOME"] = home.path();
        env.emplace("DISPLAY", x.display());
        return env;
    }
    harness::Result zefcall(const std::vector<std::string> &args, const harness::EnvChanges &env = {})
    {
        std::vector<std::string> argv{ZEFCALL};
        argv.insert(argv.end(), args.begin(), args.end());
        return harness::run(argv, environment(env));
    }

    // zefcall in a private IPC namespace, run by root or by nobody.
    harness::Result zefcallIn(bool asNobody, const std::vector<std::string> &args,
                              const harness::EnvChanges &env = {})
    {
        harness::Result r = harness::run([&] {
            if (!harness::privateIpcNamespace() || (asNobody && !harness::becomeNobody()))
                return;
            const harness::Result inner = zefcall(args, env);
            printf("%d\n%s", inner.status, inner.out.c_str());
        });
        const size_t end = r.out.find('\n');
        if (end == std::string::npos)
            return {-1, r.out};
        return {std::stoi(r.out.substr(0, end)), r.out.substr(end + 1)};
    }

    harness::TempDir bin, home, files;
    // The display is opened before a prompt starts.
    harness::XServer x;
};

const std::string CERTS =
    R"({"columns": [{"title": "Subject", "member": "dn"}, {"title": "Gültig bis", "member": "NotAfter"}],
        "certificates": [{"DN": "CN=Alice", "NotAfter": "2027"},
                         {"NotAfter": "2028", "DN": "CN=Bob \"B\"", "extra": 1}]})";

TEST_F(Prompts, CertFileIsCheckedBeforeAnythingIsWritten)
{
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"empty", ""},
        {"not JSON", "{\"columns\": ["},
        {"no columns", R"({"certificates": []})"},
        {"columns empty", R"({"columns": [], "certificates": []})"},
        {"title missing", R"({"columns": [{"member": "DN"}], "certificates": []})"},
        {"no certificates", R"({"columns": [{"title": "S", "member": "DN"}]})"},
        {"certificate not an object",
         R"({"columns": [{"title": "S", "member": "DN"}], "certificates": [{"DN": "x"}, "y"]})"},
        {"member missing",
         R"({"columns": [{"title": "S", "member": "DN"}], "certificates": [{"DN": "x"}, {"D": "y"}]})"},
    };
    for (const auto &[what, text] : bad) {
        files.write("certs.json", text);
        expectOneErrorLine(zefcall({"cert", files.file("certs.json")}), what);
    }
    expectOneErrorLine(zefcall({"cert", files.file("missing.json")}), "missing");
    expectOneErrorLine(zefcall({"cert", files.path()}), "a folder");

    // A sound FILE, but no chooser anywhere.
    files.write("certs.json", CERTS);
    harness::Result r = zefcall({"cert", files.file("certs.json")});
    expectOneErrorLine(r, "no tessary");
    EXPECT_NE(r.out.find("tessary not found"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_empty(home.path()));
}

TEST_F(Prompts, CertStoresTheFilesTwiceEncodedAndTrustsOnlyThisRunsChoice)
{
    files.write("certs.json", CERTS);
    const std::string certs = files.file("certs.json");
    // The stand-in chooser keeps what it was given and leaves choice, if
    // any, as the choice; it ends with status.
    auto choose = [&](const std::string &choice, const std::string &status = "0") {
        const std::string write =
            choice.empty() ? "" : "printf %s '" + choice + "' > \"$HOME/.certlistindex\"\n";
        script("tessary", "cp \"$HOME/.certInfoColumn\" \"$HOME/.certInfoList\" " +
                              files.path() + "\n" + write + "exit " + status);
        return zefcall({"cert", certs});
    };

    harness::Result r = choose("1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"NotAfter\":\"2028\",\"DN\":\"CN=Bob \\\"B\\\"\",\"extra\":1}\n");
    EXPECT_EQ(JsonUrlDecode(*files.read(".certInfoColumn")),
              "{\"01Subject\":\"dn\",\"02Gültig bis\":\"NotAfter\"}");
    EXPECT_EQ(JsonUrlDecode(*files.read(".certInfoList")),
              "[{\"DN\":\"CN=Alice\",\"NotAfter\":\"2027\"},"
              "{\"NotAfter\":\"2028\",\"DN\":\"CN=Bob \\\"B\\\"\",\"extra\":1}]");
    // Encoded twice: one pass of decoding still leaves escapes.
    EXPECT_EQ(DecodeURIComponent(*files.read(".certInfoList")).substr(0, 6), "%5B%7B");

    r = choose("-1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No certificate chosen\n");

    // A choice left by an earlier run is gone before the chooser starts.
    home.write(".certlistindex", "0");
    expectOneErrorLine(choose(""), "no index written");
    for (const std::string bad : {"2", "+1", "1\n", "x"})
        expectOneErrorLine(choose(bad), "index " + bad);
    expectOneErrorLine(choose("0", "3"), "status 3");
}

TEST_F(Prompts, PinLeftFromAnEarlierRunIsNotTakenForThisOne)
{
    const std::string earlier = encryptPin(pinPlaintext("123456"));
    int id = shmget(PIN_SEGMENT_KEY, PIN_SEGMENT_SIZE, IPC_CREAT | 0666);
    ASSERT_NE(id, -1);
    void *addr = shmat(id, nullptr, 0);
    ASSERT_NE(addr, reinterpret_cast<void *>(-1));
    memcpy(addr, earlier.data(), PIN_SEGMENT_SIZE);
    shmdt(addr);

    script("quorrel", "exit 0");
    harness::Result r = zefcall({"pin", "--show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No PIN received\n");
    EXPECT_FALSE(harness::readSegment(PIN_SEGMENT_KEY));
}

TEST_F(Prompts, APromptWithoutAnswerIsClosedAtTheTimeoutWithStatus3)
{
    script("quorrel", "exec sleep 600");
    harness::Result r = zefcall({"--timeout", "100", "pin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "zefcall: quorrel gave no answer in time and was closed\n");
}

// The caller's message goes to the PIN prompt alone, and the longest
// timeout the library takes is taken.
TEST_F(Prompts, TheMessageReachesThePinPrompt)
{
    const std::string message = "Falsche PIN: noch 2 Versuche\nBank-App";
    script("quorrel", "printf %s \"$ZEF_PIN_MESSAGE\" > " + files.file("quorrel"));
    script("dirvane", "printf %s \"${ZEF_PIN_MESSAGE-unset}\" > " + files.file("dirvane"));
    EXPECT_EQ(zefcall({"--timeout", "2147483647", "--message", message, "pin"}).status, 1);
    EXPECT_EQ(zefcall({"--message", message, "dir"}).status, 2);
    EXPECT_EQ(files.read("quorrel"), message);
    EXPECT_EQ(files.read("dirvane"), "unset");
}

TEST_F(Prompts, DirRunsTheChooserInItsOwnFolderAndNeedsItsResult)
{
    harness::removeSegment(DIR_SEGMENT_KEY);
    script("dirvane", "pwd > " + files.file("cwd"));
    harness::Result r = zefcall({"dir"});
    expectOneErrorLine(r, "no segment");
    EXPECT_NE(r.out.find("dirvane left no result"), std::string::npos) << r.out;
    EXPECT_EQ(files.read("cwd"), bin.path() + "\n");
}

// Stand-ins for the three prompts record how they were started: the ids of
// the running prompt and the environment it was given, as /proc shows them,
// and what its XAUTHORITY holds.
TEST_F(Prompts, EachPromptRunsAsTheDesktopUserWithItsOwnSmallEnvironment)
{
    using harness::NOBODY;
    harness::TempDir seen;
    ASSERT_EQ(chmod(seen.path().c_str(), 0777) | chmod(bin.path().c_str(), 0755), 0);
    for (const char *prompt : {"tessary", "quorrel", "dirvane"})
        script(prompt, "grep -E '^(Uid|Gid|Groups):' /proc/$$/status > " + seen.file(prompt) +
                           "\nstat -c 'List: %u %a' \"$HOME/.certInfoList\" >> " + seen.file(prompt) +
                           " 2>/dev/null"
                           "\ntr '\\0' '\\n' < /proc/$$/environ | sort >> " + seen.file(prompt) +
                           "\ncat \"$XAUTHORITY\" >> " + seen.file(prompt));
    // Root's X authority, which the user cannot read where it is.
    files.write("xauth", "cookie");
    harness::EnvChanges env{{"DISPLAY", x.display()}, {"LANG", "de_DE.UTF-8"}, {"LC_TIME", "C"},
                            {"XAUTHORITY", files.file("xauth")}, {"QT_XCB_GL_INTEGRATION", "none"},
                            // Planted: none of these may reach a prompt.
                            {"QT_PLUGIN_PATH", files.path()}, {"QT_STYLE_OVERRIDE", "planted"},
                            {"LD_LIBRARY_PATH", files.path()}, {"SEEN", seen.path()},
                            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/planted"}};
    for (char **e = environ; *e; ++e) {
        const std::string name(*e, strcspn(*e, "="));
        if (name.rfind("LC_", 0) == 0 || name == "LANGUAGE")
            env.emplace(name, std::nullopt);
    }
    // Where the user running zefcall can read it.
    bin.write("certs.json", CERTS);

    struct Case {
        const char *what;
        std::vector<std::string> options;
        uid_t homeOwner;
        bool zefcallAsNobody;
        uid_t promptUser;
        bool xauthorityCopied;
    };
    const Case cases[] = {
        {"root, HOME the user's", {}, NOBODY, false, NOBODY, true},
        {"root, --user", {"--user", "nobody"}, 0, false, NOBODY, true},
        {"root, HOME root's", {}, 0, false, 0, false},
        {"the user", {}, NOBODY, true, NOBODY, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The prompt's user looks into HOME.
        ASSERT_EQ(chown(home.path().c_str(), c.homeOwner, c.homeOwner) |
                      chmod(home.path().c_str(), 0711),
                  0);
        for (const char *name : {".certInfoColumn", ".certInfoList", ".certlistindex"})
            std::remove(home.file(name).c_str());
        for (const std::vector<std::string> &command :
             {std::vector<std::string>{"cert", bin.file("certs.json")}, {"pin"}, {"dir"}}) {
            std::vector<std::string> args = c.options;
            args.insert(args.end(), command.begin(), command.end());
            const harness::Result r = zefcallIn(c.zefcallAsNobody, args, env);
            EXPECT_NE(r.status, -1) << r.out;
        }
        // The chooser's files are gone with the call.
        EXPECT_TRUE(fs::is_empty(home.path()));

        const std::string id = std::to_string(c.promptUser);
        for (const char *prompt : {"tessary", "quorrel", "dirvane"}) {
            SCOPED_TRACE(prompt);
            std::string record = seen.read(prompt).value_or("");
            std::remove(seen.file(prompt).c_str());
            // Takes the line that starts with key out of the record.
            auto take = [&record](const std::string &key) {
                const size_t at = record.find("\n" + key) + 1;
                const size_t end = record.find('\n', at);
                const std::string value = record.substr(at + key.size(), end - at - key.size());
                record.erase(at, end - at + 1);
                return value;
            };
            const std::string groups = take("Groups:\t");
            // Written by root, the list is still the user's, and theirs alone.
            if (std::string(prompt) == "tessary") {
                EXPECT_EQ(take("List: "), id + " 600");
            }
            if (c.promptUser == NOBODY && !c.zefcallAsNobody) {
                EXPECT_EQ(groups, id + " ");
            }
            // A copy is the user's to read, and gone once the prompt ended.
            const std::string xauthority = take("XAUTHORITY=");
            EXPECT_EQ(xauthority != files.file("xauth"), c.xauthorityCopied) << xauthority;
            if (c.xauthorityCopied) {
                EXPECT_FALSE(fs::exists(fs::path(xauthority).parent_path())) << xauthority;
            }
            const bool readable = c.xauthorityCopied || c.promptUser == 0;
            EXPECT_EQ(record, "Uid:\t" + id + "\t" + id + "\t" + id + "\t" + id + "\n" +
                                  "Gid:\t" + id + "\t" + id + "\t" + id + "\t" + id +
                                  "\nDISPLAY=" + x.display() + "\nHOME=" + home.path() +
                                  "\nLANG=de_DE.UTF-8\nLC_TIME=C\n"
                                  "PATH=/usr/local/bin:/usr/bin:/bin\nQT_XCB_GL_INTEGRATION=none\n" +
                                  (readable ? "cookie" : ""));
        }
    }
}

// What the user may put in place of each file in HOME, before zefcall
// writes it or while the chooser runs: a link to a file of root's, a second
// name of it, a FIFO, a file of 2 GiB. Root's file stays as it is, and
// zefcall stops with one line.
TEST_F(Prompts, NoLinkFifoOrHugeFileInHomeIsFollowedOrRead)
{
    ASSERT_EQ(chown(home.path().c_str(), harness::NOBODY, harness::NOBODY) |
                  chmod(bin.path().c_str(), 0755),
              0);
    files.write("certs.json", CERTS);
    const std::string precious = files.file("precious");
    struct Attack {
        const char *what;
        std::string before, during;
        const char *line;
    };
    const Attack attacks[] = {
        {"link as the column file", "ln -s " + precious + " .certInfoColumn", "", "cannot write"},
        {"link as the list file", "ln -s " + precious + " .certInfoList", "", "cannot write"},
        {"second name of the list file", "ln " + precious + " .certInfoList", "", "cannot write"},
        {"link as the index file", "", "ln -s " + precious + " .certlistindex", "cannot read"},
        {"FIFO as the index file", "", "mkfifo .certlistindex", "not a regular file"},
        {"huge index file", "", "truncate -s 2G .certlistindex", "larger than"},
    };
    for (const Attack &a : attacks) {
        SCOPED_TRACE(a.what);
        // A choice, if zefcall were to read it.
        files.write("precious", "0");
        for (const char *name : {".certInfoColumn", ".certInfoList", ".certlistindex"})
            std::remove(home.file(name).c_str());
        ASSERT_EQ(harness::run({"sh", "-c", a.before}, {}, home.path()).status, 0);
        script("tessary", "cd \"$HOME\" && " +
                              (a.during.empty() ? "printf %s -1 > .certlistindex" : a.during));

        const harness::Result r = zefcallIn(false, {"cert", files.file("certs.json")});
        expectOneErrorLine(r, a.what);
        EXPECT_NE(r.out.find(a.line), std::string::npos) << r.out;
        EXPECT_EQ(files.read("precious"), "0");
    }
}

// While the prompt runs, or once it has ended, another process can put a
// PIN or a path of its choosing under the key. zefcall takes only what the
// prompt it started created, and leaves anything else alone. Each case runs
// in an IPC namespace of its own, away from the host's segments.
TEST_F(Prompts, ResultThatThePromptDidNotCreateIsRefusedAndLeftAlone)
{
    constexpr int cannotArrange = 77;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a second user (nobody)";
    // The stand-in prompts wait until the result has been planted.
    for (const char *prompt : {"quorrel", "dirvane"})
        script(prompt, ": > '" + files.file("started") + "'\n"
                       "while [ ! -e '" + files.file("planted") + "' ]; do sleep 0.01; done");
    struct Plant {
        std::string command;
        key_t key;
        std::string bytes;
        bool byNobody;  // otherwise by another process of the prompt's user
    };
    const std::vector<Plant> plants = {
        {"pin", PIN_SEGMENT_KEY, encryptPin(pinPlaintext("654321")), true},
        {"dir", DIR_SEGMENT_KEY, padded("{\"status\":1, \"pathName\":\"/theirs\"}"), true},
        {"pin", PIN_SEGMENT_KEY, encryptPin(pinPlaintext("654321")), false},
    };
    for (const Plant &p : plants) {
        fs::remove(files.file("started"));
        fs::remove(files.file("planted"));
        harness::Result r = harness::run([&] {
            if (!harness::privateIpcNamespace())
                _exit(cannotArrange);
            harness::Child call({ZEFCALL, p.command}, environment());
            while (!fs::exists(files.file("started")) && call.running())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            harness::run([&] {
                const int id = p.byNobody && !harness::becomeNobody()
                                   ? -1 : shmget(p.key, p.bytes.size(), IPC_CREAT | 0666);
                void *addr = shmat(id, nullptr, 0);
                if (id != -1 && addr != reinterpret_cast<void *>(-1))
                    memcpy(addr, p.bytes.data(), p.bytes.size());
            });
            files.write("planted", "");
            const int status = call.exitStatus(60000).value_or(-1);
            printf("%d\n%s", status, call.output().c_str());
            puts(harness::readSegment(p.key) == p.bytes ? "left alone" : "changed or gone");
        });
        if (r.status == cannotArrange)
            GTEST_SKIP() << "cannot make a private IPC namespace here (needs root)";
        EXPECT_EQ(r.out, "2\nzefcall: segment " + std::to_string(p.key) +
                             " was not created by the prompt; it is left alone\nleft alone\n")
            << p.command << (p.byNobody ? " by nobody" : " by the same user");
    }
}

// zefcall log with a copy of the library that logs into the build tree,
// found under its soname through LD_LIBRARY_PATH.
class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all(ZEF_TEST_LOG_DIR);
        fs::create_directory(ZEF_TEST_LOG_DIR);
    }
    harness::Result log(const std::string &level, const std::string &message,
                        const std::string &libraries = ZEF_LOG_LIBRARY_DIR)
    {
        return harness::run({ZEFCALL, "log", level, message}, {{"LD_LIBRARY_PATH", libraries}});
    }
    static std::vector<std::string> records()
    {
        return harness::readLines(ZEF_TEST_LOG_DIR "/VantrelZEF.log");
    }
};

TEST_F(Log, EachLevelByNameOrNumberGetsItsTagAndTheMessageStandsAsGiven)
{
    std::ofstream(ZEF_TEST_LOG_DIR "/zefdebugflag").close();
    const std::vector<std::pair<std::string, std::string>> levels = {
        {"crit", "CRTI"}, {"1", "ERROR"},  {"Warning", "WARNING"},
        {"3", "NOTICE"},  {"info", "INFO"}, {"5", "DEBUG"}};
    const std::string message = "Datenträger 100% voll: %s %n";
    for (const auto &[level, tag] : levels) {
        harness::Result r = log(level, message);
        EXPECT_EQ(r.status, 0) << level << ": " << r.out;
        EXPECT_EQ(r.out, "zef_log_open finished \nzef_log_close finished \n") << level;
    }

    const std::vector<std::string> lines = records();
    ASSERT_EQ(lines.size(), levels.size());
    const std::regex record(R"(\[([A-Z]+)\] \d{4}/\d\d/\d\d \d\d:\d\d:\d\d (.*))");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, record)) << lines[i];
        EXPECT_EQ(m[1], levels[i].second);
        EXPECT_EQ(m[2], message);
    }
}

TEST_F(Log, ALibraryThatCannotBeLoadedOrIsNotOursIsOneLineWithStatus2)
{
    std::ofstream(ZEF_TEST_LOG_DIR "/zefdebugflag").close();
    harness::TempDir broken, foreign, none;
    broken.write("libzeflog.so.1", "not a library");
    fs::copy_file(ZEF_OTHER_LIBRARY, foreign.file("libzeflog.so.1"));
    expectOneErrorLine(log("error", "x", broken.path()), "broken");
    expectOneErrorLine(log("error", "x", foreign.path()), "foreign");

    // Missing altogether, unless the system itself has one.
    if (void *installed = dlopen("libzeflog.so.1", RTLD_LAZY))
        dlclose(installed);
    else
        expectOneErrorLine(log("error", "x", none.path()), "missing");
    EXPECT_TRUE(records().empty());
}

}  // namespace
