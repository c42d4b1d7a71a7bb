// zefcall's pieces, and the program wherever it needs no display: its
// command line, its checks of FILE, and prompts played by small scripts.
#include "certlist.h"  // the chooser's decoding, which must undo our encoding
#include "cert.h"
#include "dir.h"
#include "harness.h"
#include "pin.h"
#include "pinoracle.h"
#include "segment_expect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <random>
#include <regex>
#include <set>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <csignal>
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
    const bool ok = decryptPin(bytes, pin);
    if (!ok) {
        EXPECT_EQ(std::string(pin, sizeof pin), std::string(sizeof pin, '\0'));
        return std::nullopt;
    }
    return std::string(pin);
}

TEST(DecryptPin, TakesTheBytesBeforeTheFirstZeroAndRefusesWhatIsNoPinBlock)
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
          "--message TEXT", "--verbose"})
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
    // zefcall for prompts of this process's user: HOME here is no desktop
    // user's.
    harness::Result zefcall(const std::vector<std::string> &args, const harness::EnvChanges &env = {})
    {
        std::vector<std::string> argv{ZEFCALL, "--user", getpwuid(geteuid())->pw_name};
        argv.insert(argv.end(), args.begin(), args.end());
        return harness::run(argv, environment(env));
    }

    // zefcall in a private IPC namespace, run by root or by nobody, once
    // arrange (run as root) has made ready what it needs.
    harness::Result zefcallIn(bool asNobody, const std::vector<std::string> &args,
                              harness::EnvChanges env = {},
                              const std::function<bool()> &arrange = {})
    {
        std::vector<std::string> argv{ZEFCALL};
        argv.insert(argv.end(), args.begin(), args.end());
        if (asNobody) {
            // nobody cannot reach the build tree (a clone under /root, say):
            // zefcall and its library are copied where they can.
            std::error_code ec;
            fs::copy_file(ZEFCALL, tools.file("zefcall"), fs::copy_options::skip_existing, ec);
            fs::copy_file(ZEF_BINARY_DIR "/client/libzefclient.so.1",
                          tools.file("libzefclient.so.1"), fs::copy_options::skip_existing, ec);
            chmod(tools.path().c_str(), 0755);
            argv[0] = tools.file("zefcall");
            env["LD_LIBRARY_PATH"] = tools.path() + ":" + env["LD_LIBRARY_PATH"].value_or("");
        }
        harness::Result r = harness::run([&] {
            if (!harness::privateIpcNamespace() || (arrange && !arrange()) ||
                (asNobody && !harness::becomeNobody()))
                return;
            const harness::Result inner = harness::run(argv, environment(env));
            printf("%d\n%s", inner.status, inner.out.c_str());
        });
        const size_t end = r.out.find('\n');
        if (end == 0 || end == std::string::npos ||
            r.out.find_first_not_of("0123456789") != end)
            return {-1, r.out};
        return {std::stoi(r.out.substr(0, end)), r.out.substr(end + 1)};
    }

    harness::TempDir bin, home, files, tools;
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
    // The stand-in chooser keeps the lists it was handed and hands choice,
    // if any, over as the choice; it ends with status.
    auto choose = [&](const std::string &choice, const std::string &status = "0") {
        const std::string write =
            choice.empty() ? "" : "printf %s '" + choice + "' >&$ZEF_RESULT_FD\n";
        script("tessary", "cat <&$ZEF_CERT_COLUMN_FD > " + files.file(".certInfoColumn") +
                              "\ncat <&$ZEF_CERT_LIST_FD > " + files.file(".certInfoList") +
                              "\n" + write + "exit " + status);
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

    // A choice left in the home file is none of this call's.
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
    // Nothing of the library's: it is left as it was.
    EXPECT_EQ(harness::readSegment(PIN_SEGMENT_KEY), earlier);
    harness::removeSegment(PIN_SEGMENT_KEY);
}

// What a tampered prompt hands over through the channel: only what the PIN
// prompt lets a user type passes, 6 to 32 Latin-1 characters and no
// control character; nothing else reaches the caller.
TEST_F(Prompts, OnlyAPinThatCanBeTypedIsTaken)
{
    script("quorrel", "cat " + files.file("handed") + " >&$ZEF_RESULT_FD");
    const std::string refused = "zefcall: quorrel handed over no PIN that it lets a user type\n";
    std::string e32;  // é 32 times, in UTF-8
    for (int i = 0; i < 32; ++i)
        e32 += "\xc3\xa9";
    const struct {
        std::string pin, out;
    } cases[] = {
        {"12345", refused},
        {"\x01\x1b[2J\x0a\xc3\xbf", refused},
        {"123456\x7f", refused},
        {"1234567\x9b", refused},
        {"123456", "123456\n"},
        {std::string(32, '\xe9'), e32 + "\n"},
        {" !~\xa0\xff ", " !~\xc2\xa0\xc3\xbf \n"},
    };
    for (const auto &c : cases) {
        files.write("handed", encryptPin(pinPlaintext(c.pin)));
        const harness::Result r = zefcall({"pin", "--show"});
        EXPECT_EQ(r.out, c.out) << c.pin;
        EXPECT_EQ(r.status, c.out == refused ? 2 : 0) << c.pin;
    }
}

TEST_F(Prompts, APromptWithoutAnswerIsClosedAtTheTimeoutWithStatus3)
{
    // Its routine lines say nothing of the timeout.
    script("quorrel", "echo ENOENT; echo 'QStandardPaths: XDG_RUNTIME_DIR not set'; exec sleep 600");
    harness::Result r = zefcall({"--timeout", "100", "pin"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "zefcall: quorrel gave no answer within 100 ms and was closed\n");
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

// Root's X authority, made by xauth in path, with cookie (hexadecimal) for
// the display (when given) and another for :8.
void writeXauthority(const std::string &path, const std::string &display, const std::string &cookie)
{
    ASSERT_EQ(harness::run({"xauth", "-f", path, "add", ":8", "MIT-MAGIC-COOKIE-1",
                            "88112233"}).status, 0);
    if (!display.empty()) {
        ASSERT_EQ(harness::run({"xauth", "-f", path, "add", display, "MIT-MAGIC-COOKIE-1",
                                cookie}).status, 0);
    }
}

// Stand-ins for the three prompts record how they were started: the ids of
// the running prompt and the environment it was given, as /proc shows them,
// and what xauth reads in its XAUTHORITY.
TEST_F(Prompts, EachPromptRunsAsTheDesktopUserWithItsOwnSmallEnvironment)
{
    using harness::NOBODY;
    harness::TempDir seen;
    ASSERT_EQ(chmod(seen.path().c_str(), 0777) | chmod(bin.path().c_str(), 0755), 0);
    for (const char *prompt : {"tessary", "quorrel", "dirvane"})
        script(prompt, "grep -E '^(Uid|Gid|Groups):' /proc/$$/status > " + seen.file(prompt) +
                           "\ntr '\\0' '\\n' < /proc/$$/environ >> " + seen.file(prompt) +
                           "\nxauth -i -f \"$XAUTHORITY\" list > " + seen.file(prompt) + ".x");
    // Root's, which the user cannot read where it is.
    writeXauthority(files.file("xauth"), x.display(), "77112233");
    const std::string cookie7 = "/unix" + x.display() + "  MIT-MAGIC-COOKIE-1  77112233\n";
    harness::EnvChanges env{{"DISPLAY", x.display()}, {"LANG", "de_DE.UTF-8"}, {"LC_TIME", "C"},
                            {"XAUTHORITY", files.file("xauth")}, {"QT_XCB_GL_INTEGRATION", "none"},
                            {"QT_SCALE_FACTOR", "1.5"}, {"QT_AUTO_SCREEN_SCALE_FACTOR", "0"},
                            {"QT_SCREEN_SCALE_FACTORS", "HDMI-1=2;eDP-1=1.25"},
                            {"QT_IM_MODULE", "fcitx"}, {"XMODIFIERS", "@im=fcitx"},
                            {"QT_STYLE_OVERRIDE", "Fusion"}, {"QT_QPA_PLATFORMTHEME", "gtk3"},
                            {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}, {"KDE_SESSION_VERSION", "5"},
                            // Planted: none of these may reach a prompt.
                            {"GTK_IM_MODULE", "../../tmp/im"}, {"QT_PLUGIN_PATH", files.path()},
                            {"LD_LIBRARY_PATH", files.path()},
                            {"SEEN", seen.path()}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/planted"},
                            {"XDG_RUNTIME_DIR", files.path()}};
    for (char **e = environ; *e; ++e) {
        const std::string name(*e, strcspn(*e, "="));
        if (name.rfind("LC_", 0) == 0 || name == "LANGUAGE")
            env.emplace(name, std::nullopt);
    }
    // Where the user running zefcall can read it.
    bin.write("certs.json", CERTS);

    enum Xauthority { Ours, Entry };
    struct Case {
        const char *what;
        std::vector<std::string> options;
        uid_t homeOwner;
        bool zefcallAsNobody;
        uid_t promptUser;  // also the desktop session's
        Xauthority xauthority;
        std::string promptHome;  // started by root, the user's own
    };
    const std::string nobodysHome = getpwuid(NOBODY)->pw_dir;
    const Case cases[] = {
        {"root, HOME the user's", {}, NOBODY, false, NOBODY, Entry, nobodysHome},
        {"root, --user", {"--user", "nobody"}, 0, false, NOBODY, Entry, nobodysHome},
        {"root, --user root, HOME the user's", {"--user", "root"}, NOBODY, false, 0, Ours,
         getpwuid(0)->pw_dir},
#ifdef ZEF_HAVE_SD_LOGIN
        {"root, HOME root's, root at the desktop", {}, 0, false, 0, Ours, getpwuid(0)->pw_dir},
#endif
        {"the user", {}, NOBODY, true, NOBODY, Ours, home.path()},
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
            const harness::Result r = zefcallIn(c.zefcallAsNobody, args, env, [&] {
                return harness::privateDesktop(c.promptUser, x.display());
            });
            EXPECT_NE(r.status, -1) << r.out;
        }
        // Nothing of the call's is written into HOME.
        EXPECT_TRUE(fs::is_empty(home.path()));

        const std::string id = std::to_string(c.promptUser);
        const std::string runtime = "/run/user/" + id;
        const std::set<std::string> expected = {
            "Uid:\t" + id + "\t" + id + "\t" + id + "\t" + id,
            "Gid:\t" + id + "\t" + id + "\t" + id + "\t" + id,
            "DISPLAY=" + x.display(), "HOME=" + c.promptHome, "LANG=de_DE.UTF-8", "LC_TIME=C",
            "PATH=/usr/local/bin:/usr/bin:/bin", "QT_XCB_GL_INTEGRATION=none",
            "QT_SCALE_FACTOR=1.5", "QT_AUTO_SCREEN_SCALE_FACTOR=0",
            "QT_SCREEN_SCALE_FACTORS=HDMI-1=2;eDP-1=1.25", "QT_IM_MODULE=fcitx",
            "QT_STYLE_OVERRIDE=Fusion", "QT_QPA_PLATFORMTHEME=gtk3", "XMODIFIERS=@im=fcitx",
            "XDG_CURRENT_DESKTOP=ubuntu:GNOME", "KDE_SESSION_VERSION=5",
            "XDG_RUNTIME_DIR=" + runtime,
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus",
            "XAUTHORITY=" + (c.xauthority == Ours ? files.file("xauth") : "/proc/self/fd/3"),
            "ZEF_RESULT_FD=4"};
        for (const char *prompt : {"tessary", "quorrel", "dirvane"}) {
            SCOPED_TRACE(prompt);
            std::set<std::string> record;
            for (const std::string &line : harness::readLines(seen.file(prompt))) {
                // Groups as the database gives them, where root started it.
                if (line.rfind("Groups:", 0) != 0) {
                    record.insert(line);
                } else if (c.promptUser == NOBODY && !c.zefcallAsNobody) {
                    EXPECT_EQ(line, "Groups:\t" + id + " ");
                }
            }
            // The chooser's lists come in descriptors of their own.
            std::set<std::string> want = expected;
            if (std::string(prompt) == "tessary")
                want.insert({"ZEF_CERT_COLUMN_FD=5", "ZEF_CERT_LIST_FD=6"});
            EXPECT_EQ(record, want);
            // The user's copy holds the display's one entry; ours only
            // root can read.
            const std::string xauth = seen.read(std::string(prompt) + ".x").value_or("");
            if (c.xauthority == Entry || c.promptUser == NOBODY)
                EXPECT_EQ(xauth.substr(std::min(xauth.size(), xauth.find('/'))),
                          c.xauthority == Entry ? cookie7 : "");
            else
                EXPECT_NE(xauth.find(cookie7), std::string::npos) << xauth;
            std::remove(seen.file(prompt).c_str());
            std::remove((seen.file(prompt) + ".x").c_str());
        }
    }
}

// Run as root and told no user, with HOME root's as a daemon's, the prompt
// goes to the user of the desktop session (here logind's records in a /run
// of the test's own), with their home and the session's display; with no
// session there is none.
TEST_F(Prompts, RootNamingNoUserShowsThePromptToTheDesktopSessionsUser)
{
    harness::TempDir seen;
    ASSERT_EQ(chmod(seen.path().c_str(), 0777) | chmod(bin.path().c_str(), 0755), 0);
    script("quorrel", "echo \"$(id -u) $DISPLAY $HOME\" > " + seen.file("quorrel"));
    const std::string nobodysHome = getpwuid(harness::NOBODY)->pw_dir;
    const struct {
        const char *what;
        std::optional<uid_t> desktop;
        std::optional<std::string> display;
        std::string seen;
    } cases[] = {
        {"no session", std::nullopt, x.display(), ""},
        {"nobody's session, no DISPLAY", harness::NOBODY, std::nullopt,
         "65534 " + x.display() + " " + nobodysHome},
        {"nobody's session on DISPLAY", harness::NOBODY, x.display() + ".0",
         "65534 " + x.display() + ".0 " + nobodysHome},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(seen.file("quorrel"));
        const harness::Result r = zefcallIn(false, {"pin"}, {{"DISPLAY", c.display}},
                                            [&] { return harness::privateDesktop(c.desktop, x.display()); });
#ifdef ZEF_HAVE_SD_LOGIN
        const bool found = c.desktop.has_value();
#else
        const bool found = false;
#endif
        if (found) {
            EXPECT_EQ(seen.read("quorrel"), c.seen + "\n") << r.out;
        } else {
            expectOneErrorLine(r, c.what);
            EXPECT_NE(r.out.find("name the prompts' user"), std::string::npos) << r.out;
        }
    }
}

// The small regular files in folder, and below it when deep, that hold
// bytes, but for except. Other work on the machine creates and removes
// files there meanwhile: an entry that vanishes is no finding.
std::vector<std::string> filesHolding(const std::string &folder, bool deep, const std::string &bytes,
                                      const std::set<std::string> &except)
{
    std::vector<std::string> found;
    std::error_code ec, ignored;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!deep)
            it.disable_recursion_pending();
        const std::string path = it->path();
        if (it->is_regular_file(ignored) && it->file_size(ignored) < 4096 && !except.count(path) &&
            harness::readFile(path).value_or("").find(bytes) != std::string::npos)
            found.push_back(path);
    }
    return found;
}

// The user gets the display's one entry of root's XAUTHORITY, which is
// opened through no link and must be root's; nothing of it lies on disk,
// so a caller killed while its prompt runs leaves no cookie behind.
TEST_F(Prompts, XauthorityIsTheDisplaysOneEntryOpenedThroughNoLink)
{
    harness::TempDir seen;
    ASSERT_EQ(chmod(seen.path().c_str(), 0777) | chmod(bin.path().c_str(), 0755) |
                  mkdir(files.file("real").c_str(), 0700) |
                  symlink(files.file("real").c_str(), files.file("link").c_str()),
              0);
    // A cookie of this run's own, to be looked for afterwards.
    const unsigned random = std::random_device()();
    char cookie[9];
    snprintf(cookie, sizeof cookie, "%08x", random);
    writeXauthority(files.file("real/xauth"), x.display(), cookie);
    writeXauthority(files.file("real/other-display"), "", "");
    files.write("real/other", "");
    ASSERT_EQ(chown(files.file("real/other").c_str(), 12345, 12345), 0);
    files.write("real/garbage", "cookie");
    script("quorrel", "xauth -i -f \"$XAUTHORITY\" list > " + seen.file("xauth") +
                          "\nreadlink /proc/$$/fd/3 >> " + seen.file("xauth") + "\nexec sleep 600");
    const struct {
        const char *what;
        std::string xauthority, display, line;
    } cases[] = {
        {"a link in a folder", files.file("link/xauth"), x.display(), "without following a link"},
        {"no entry for the display", files.file("real/other-display"), x.display(),
         "no entry for display"},
        {"not an X authority file", files.file("real/garbage"), x.display(), "no X authority file"},
        {"another user's file", files.file("real/other"), x.display(), "no regular file of root's"},
        {"the display's entry", files.file("real/xauth"), x.display() + ".0", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        harness::Child call({ZEFCALL, "--user", "nobody", "pin"},
                            environment({{"XAUTHORITY", c.xauthority}, {"DISPLAY", c.display}}));
        if (!c.line.empty()) {
            EXPECT_EQ(call.exitStatus(30000), 2);
            EXPECT_NE(call.output().find("cannot hand XAUTHORITY over: " + c.xauthority),
                      std::string::npos) << call.output();
            EXPECT_NE(call.output().find(c.line), std::string::npos) << call.output();
            continue;
        }
        std::string xauth;
        for (int i = 0; i < 400 && xauth.find("memfd") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            xauth = seen.read("xauth").value_or("");
        }
        EXPECT_EQ(xauth.substr(std::min(xauth.size(), xauth.find('/'))),
                  "/unix" + x.display() + "  MIT-MAGIC-COOKIE-1  " + std::string(cookie) +
                      "\n/memfd:Xauthority (deleted)\n");
        kill(call.pid(), SIGKILL);
        call.wait(10000);
        const std::string bytes = {static_cast<char>(random >> 24), static_cast<char>(random >> 16),
                                   static_cast<char>(random >> 8), static_cast<char>(random)};
        // Where the kit could leave a file: temporary files at the top of
        // /tmp, the caller's and the user's runtime folders, HOME, the
        // prompts' folder and the folder of the X authority file.
        const std::pair<std::string, bool> folders[] = {
            {"/tmp", false},        {"/tmp/zefkit-0", true},   {"/tmp/zefkit-65534", true},
            {"/run/user/0", true},  {"/run/user/65534", true}, {home.path(), true},
            {bin.path(), true},     {files.path(), true}};
        for (const auto &[folder, deep] : folders)
            EXPECT_EQ(filesHolding(folder, deep, bytes, {files.file("real/xauth")}),
                      std::vector<std::string>{}) << folder;
    }
}

// A root service as systemd starts one, with no XAUTHORITY, and an X server
// that admits only the holders of its cookie: the cookie is found where the
// prompt user's session keeps it, only in a file of theirs, and only for a
// user with a session on the display. A refusal is one line with the
// server's reason, nothing on standard error.
TEST_F(Prompts, RootWithoutXauthorityFindsTheUsersCookieForTheirDisplay)
{
    using harness::NOBODY;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to play a root service and its desktop user";
    ASSERT_EQ(harness::run({"xauth", "-f", files.file("server"), "add", ":0", "MIT-MAGIC-COOKIE-1",
                            "0123456789abcdef0123456789abcdef"}).status, 0);
    const harness::XServer locked("1280x1024", files.file("server"));
    const std::string display = locked.display();
    harness::TempDir seen;
    ASSERT_EQ(chmod(seen.path().c_str(), 0777) | chmod(bin.path().c_str(), 0755) |
                  chown(home.path().c_str(), NOBODY, NOBODY) | chmod(home.path().c_str(), 0711),
              0);
    script("quorrel", "xdpyinfo > /dev/null 2>&1 && echo reached > " + seen.file("quorrel"));
    // The user's cookie file at path, theirs.
    const auto cookie = [&](const std::string &path) {
        const bool written = harness::run({"xauth", "-f", path, "add", display, "MIT-MAGIC-COOKIE-1",
                                           "0123456789abcdef0123456789abcdef"}).status == 0;
        return written && chown(path.c_str(), NOBODY, NOBODY) == 0;
    };
    const std::string runtime = "/run/user/" + std::to_string(NOBODY);
    harness::Child leader({"sleep", "600"}, {{"XAUTHORITY", files.file("session")}});
    const struct {
        const char *what;
        std::string file;  // the cookie's place; a link there to it for "link"
        std::string sessionDisplay;
        bool reached;
    } cases[] = {
        {"in the home", home.file(".Xauthority"), display, true},
        {"a link in the home", "link", display, false},
#ifdef ZEF_HAVE_SD_LOGIN
        {"where gdm keeps it", runtime + "/gdm/Xauthority", display, true},
        {"named by the session leader's XAUTHORITY", files.file("session"), display, true},
        {"in the home, no session on the display", home.file(".Xauthority"), ":999", false},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(seen.file("quorrel"));
        fs::remove(home.file(".Xauthority"));
        const harness::Result r = zefcallIn(false, {"pin"}, {{"XAUTHORITY", std::nullopt},
                                                             {"DISPLAY", display}}, [&] {
            if (!harness::privateDesktop(NOBODY, c.sessionDisplay))
                return false;
            std::ofstream("/run/systemd/sessions/c1", std::ios::app) << "LEADER=" << leader.pid() << "\n";
            if (c.file == "link")
                return cookie(files.file("elsewhere")) &&
                       symlink(files.file("elsewhere").c_str(), home.file(".Xauthority").c_str()) == 0;
            mkdir((runtime + "/gdm").c_str(), 0700);
            return chown((runtime + "/gdm").c_str(), NOBODY, NOBODY) == 0 && cookie(c.file);
        });
        if (c.reached) {
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_EQ(seen.read("quorrel"), "reached\n");
        } else {
            expectOneErrorLine(r, c.what);
            EXPECT_EQ(r.out.rfind("zefcall: cannot open display " + display + ": Authorization required", 0), 0u) << r.out;
        }
    }
}

// What the user may put at the chooser's file names in HOME, or at the
// lock file's in their runtime folder: a link to a file of root's, a second
// name of one. A root call writes nothing through them, and its answer
// still comes; every file of root's keeps its owner, mode and bytes. The
// stand-ins play the user's prompts.
TEST_F(Prompts, RootWritesNothingThroughTheUsersLinksAndKeepsItsFilesOwners)
{
    using harness::NOBODY;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act for a second user (nobody)";
    ASSERT_EQ(chown(home.path().c_str(), NOBODY, NOBODY) | chmod(bin.path().c_str(), 0755), 0);
    bin.write("certs.json", CERTS);
    script("tessary", "printf 1 >&$ZEF_RESULT_FD");
    script("dirvane", "exit 0");
    const std::string answer = encryptPin(pinPlaintext("123456"));
    bin.write("pin", answer);
    script("quorrel", "cat " + bin.file("pin") + " >&$ZEF_RESULT_FD");
    const harness::Result r = harness::run([&] {
        if (!harness::privateIpcNamespace() || !harness::privateDesktop(NOBODY, x.display()))
            return;
        // root:nobody 0660, which nobody may link even where
        // protected_hardlinks is on, on the file system of the runtime folder.
        const std::string runtime = "/run/user/" + std::to_string(NOBODY);
        for (const char *name : {"/run/precious", "/run/precious-too"}) {
            std::ofstream(name) << "root's";
            if (chown(name, 0, NOBODY) != 0 || chmod(name, 0660) != 0)
                return;
        }
        const harness::Result planted = harness::run([&] {
            if (!harness::becomeNobody())
                return;
            for (const char *kind : {"tessary", "quorrel", "dirvane"})
                if (link("/run/precious", (runtime + "/zefkit-" + kind + ".lock").c_str()) != 0)
                    return;
            for (const char *name : {".certInfoColumn", ".certInfoList", ".certlistindex"})
                if (symlink("/run/precious-too", (home.path() + "/" + name).c_str()) != 0)
                    return;
            puts("planted");
        });
        if (planted.out != "planted\n")
            return;
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"cert", bin.file("certs.json")}, {"pin", "--show"}, {"dir"}}) {
            std::vector<std::string> argv{ZEFCALL};
            argv.insert(argv.end(), args.begin(), args.end());
            const harness::Result call = harness::run(argv, environment());
            printf("%d %s", call.status, call.out.c_str());
        }
        for (const char *name : {"/run/precious", "/run/precious-too"}) {
            struct stat st;
            stat(name, &st);
            printf("%u:%u %o %s\n", st.st_uid, st.st_gid, st.st_mode & 07777,
                   harness::readFile(name).value_or("").c_str());
        }
    });
    EXPECT_EQ(r.out, "0 {\"NotAfter\":\"2028\",\"DN\":\"CN=Bob \\\"B\\\"\",\"extra\":1}\n"
                     "0 123456\n2 zefcall: dirvane left no result\n"
                     "0:65534 660 root's\n0:65534 660 root's\n");
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
