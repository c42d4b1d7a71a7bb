// The installed kit as an integrator meets it: zefcall beside the prompts,
// each prompt answered under a private X server, and a log record written
// inside a private mount namespace.
#include "harness.h"
#include "sharememory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Steps = std::vector<std::vector<std::string>>;

// The kit installed into a temporary prefix, as an integrator installs it.
class Installed : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness::Result install =
            harness::run({ZEF_CMAKE, "--install", ZEF_BINARY_DIR, "--prefix", prefix.path()});
        ASSERT_EQ(install.status, 0) << install.out;
    }

    harness::TempDir prefix;
    const std::string bindir = prefix.path() + "/" ZEF_INSTALL_BINDIR;
    const std::string zefcall = bindir + "/zefcall";
};

class RoundTrip : public Installed {
protected:
    // Run by root, zefcall starts the prompts as the owner of HOME, who must
    // reach the installation.
    void SetUp() override
    {
        harness::removeSegment(PIN_SEGMENT_KEY);
        harness::removeSegment(DIR_SEGMENT_KEY);
        Installed::SetUp();
        ASSERT_EQ(chmod(prefix.path().c_str(), 0755), 0);
        ASSERT_EQ(chown(home.path().c_str(), harness::NOBODY, harness::NOBODY), 0);
    }

    // Runs the installed zefcall with args, plays steps on the window of the
    // prompt it starts, and waits for zefcall to end.
    harness::Result call(const std::vector<std::string> &args, const Steps &steps,
                         const std::string &lang = "C.UTF-8")
    {
        std::vector<std::string> argv{zefcall};
        argv.insert(argv.end(), args.begin(), args.end());
        harness::Child child(argv, {{"DISPLAY", x.display()},
                                    {"HOME", home.path()},
                                    {"LANG", lang},
                                    {"LC_ALL", std::nullopt},
                                    {"LANGUAGE", std::nullopt},
                                    {"XDG_RUNTIME_DIR", runtime.path()},
                                    {"QT_PLUGIN_PATH", home.path()},
                                    {"QT_STYLE_OVERRIDE", "../planted"}});
        harness::Result r;
        const pid_t prompt = harness::childOf(child.pid());
        const std::string window = x.focusWindow(prompt);
        if (window.empty()) {
            ADD_FAILURE() << "no prompt appeared:\n" << child.output();
            return r;
        }
        // The prompt runs as the desktop user, in their own home, without
        // what was planted: a plugin path, and a style that is not a plain name.
        const std::string proc = "/proc/" + std::to_string(prompt);
        EXPECT_NE(harness::readFile(proc + "/status").value_or("").find("\nUid:\t65534\t65534\t"),
                  std::string::npos);
        const std::string env = harness::readFile(proc + "/environ").value_or("");
        EXPECT_NE(env.find(std::string("HOME=") + getpwuid(harness::NOBODY)->pw_dir + '\0'),
                  std::string::npos) << env;
        EXPECT_EQ(env.find("QT_PLUGIN_PATH="), std::string::npos) << env;
        EXPECT_EQ(env.find("QT_STYLE_OVERRIDE="), std::string::npos) << env;
        x.play(window, steps);
        r.status = child.exitStatus(60000).value_or(-1);
        r.out = child.output();
        return r;
    }

    harness::TempDir home, runtime;
    harness::XServer x;
};

TEST_F(RoundTrip, CertificateChosenByClickOrCancelled)
{
    home.write("certs.json", R"({
        "columns": [{"title": "使用者", "member": "DN"}, {"title": "Issuer", "member": "issuer"},
                    {"title": "Valid until", "member": "NotAfter"}],
        "certificates": [
            {"DN": "CN=Alice", "issuer": "CN=Example CA", "NotAfter": "2027-03-31"},
            {"DN": "CN=张三 \"100%\"", "Issuer": "CN=示例 CA", "notafter": "2028-06-30"},
            {"DN": "CN=Bob", "issuer": "CN=Example CA", "NotAfter": "2026-12-31"}]})");
    // Row 1 lies below the table's top (10), its header (22) and row 0 (20).
    const Steps row1 = {{"mousemove", "100", "62"}, {"click", "1"}};

    harness::Result r = call({"cert", home.file("certs.json")},
                             {row1[0], row1[1], {"mousemove", "220", "290"}, {"click", "1"}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "{\"DN\":\"CN=张三 \\\"100%\\\"\",\"Issuer\":\"CN=示例 CA\","
                     "\"notafter\":\"2028-06-30\"}\n");

    r = call({"cert", home.file("certs.json")},
             {row1[0], row1[1], {"mousemove", "360", "290"}, {"click", "1"}});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out, "No certificate chosen\n");
}

TEST_F(RoundTrip, PinTypedComesBackEqualOrIsCancelled)
{
    const std::string pin = "Kennwort-\xC3\xA9";  // é is one Latin-1 byte on the way
    x.bindCharacters(pin);
    harness::Result r = call({"pin", "--show"}, {{"type", "--delay", "20", pin}, {"key", "Return"}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, pin + "\n");

    r = call({"pin"}, {{"type", "--delay", "20", "123456"}, {"key", "Return"}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "PIN received (6 characters)\n");

    r = call({"pin", "--show"}, {{"type", "--delay", "20", "123456"}, {"key", "Escape"}});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out, "No PIN received\n");
    // zefcall removes what it took.
    EXPECT_FALSE(harness::readSegment(PIN_SEGMENT_KEY));
}

TEST_F(RoundTrip, DirectoryComesBackEqualWhateverItsNameOrIsCancelled)
{
    // The backslash goes in unescaped: read as JSON, "\b" would come back
    // as a backspace. (The file dialog cannot be given a quote by typing.)
    const std::string dir = home.path() + "/证书 a\\b";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    x.bindCharacters(dir);
    harness::Result r = call({"dir"}, {{"type", "--delay", "20", dir}, {"key", "Return"}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, dir + "\n");
    EXPECT_FALSE(harness::readSegment(DIR_SEGMENT_KEY));

    // Started in its own folder, the chooser finds its Chinese texts there,
    // as its lines say.
    r = call({"--verbose", "dir"}, {{"key", "Escape"}}, "zh_CN.UTF-8");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("中文系统\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("中文字体加载失败"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Directory choice cancelled\n"), std::string::npos) << r.out;
}

// The installed zefcall finds the installed library beside it, and the
// library writes into the real /var/zeflog, which a tmpfs in a private mount
// namespace stands in for; its rollover stamp lives beside zefcall.
TEST_F(Installed, LogRecordWrittenInsideAPrivateMountNamespace)
{
    constexpr int cannotArrange = 77;
    const std::string stamp = bindir + "/config/logmaxage";
    ASSERT_TRUE(std::filesystem::create_directory(bindir + "/config"));
    std::ofstream(stamp).close();

    // Nothing in it that a regular expression would take for its own.
    const std::string message = "Signatur erstellt: 证书 100% %s";
    harness::Result r = harness::run([&] {
        if (!harness::privateLogDirectory("zefdebugflag"))
            _exit(cannotArrange);
        const harness::Result log =
            harness::run({zefcall, "log", "notice", message}, {{"LD_LIBRARY_PATH", std::nullopt}});
        const std::string records = harness::readFile("/var/zeflog/VantrelZEF.log").value_or("");
        printf("%d\n%s%s", log.status, log.out.c_str(), records.c_str());
    });
    if (r.status == cannotArrange)
        GTEST_SKIP() << "cannot mount a private tmpfs over /var here (needs root and unshare)";
    EXPECT_EQ(r.status, harness::Child::RETURNED) << r.out;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("0\nzef_log_open finished \nzef_log_close finished \n"
                          R"(\[NOTICE\] \d{4}/\d\d/\d\d \d\d:\d\d:\d\d )" + message + "\n")))
        << r.out;
    // The stamp file was found beside the program and its period started.
    std::ifstream file(stamp);
    long long started = 0;
    EXPECT_TRUE(file >> started);
    EXPECT_GT(started, 0);
}

}  // namespace
