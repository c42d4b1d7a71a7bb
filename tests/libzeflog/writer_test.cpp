// The writer: open/close states, the flag-file switches, the record line,
// the log's mode and the library's descriptors.
#include <atomic>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zeflog.h>

#include "harness.h"
#include "logtest.h"

namespace fs = std::filesystem;
using harness::captureStdout;
using namespace logtest;

namespace {

std::string writeRecord(unsigned level, int withHeader, const char *msg)
{
    return captureStdout([&] { zef_write_log(level, withHeader, msg); });
}

size_t filesInLogDir()
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(ZEF_TEST_LOG_DIR),
                                             fs::directory_iterator()));
}

unsigned modeOf(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// The open flags of a descriptor of this process on path other than
// except, once the library has opened one.
int libraryDescriptorFlags(const std::string &path, int except)
{
    for (;;) {
        for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            const fs::path target = fs::read_symlink(entry.path(), ec);
            if (ec || target != path || entry.path().filename() == std::to_string(except))
                continue;
            std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
            for (std::string key; info >> key;) {
                if (key == "flags:") {
                    int flags = 0;
                    info >> std::oct >> flags;
                    return flags;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

TEST_F(LogTest, OpenAndCloseChangeStateOnlyOnce)
{
    flag("zefdebugflag");
    EXPECT_EQ(captureStdout(zef_log_open), "");
    EXPECT_EQ(captureStdout(zef_log_close), "zef_log_close finished \n");
    EXPECT_EQ(captureStdout(zef_log_close), "");

    EXPECT_EQ(writeRecord(ZEF_LOG_CRTI, 1, "while closed"), "zef log not init \n");
    EXPECT_FALSE(fs::exists(logFile()));
    fs::remove(logPath("zefdebugflag"));
    EXPECT_EQ(writeRecord(ZEF_LOG_CRTI, 1, "while closed"), "zef log not init \n");

    EXPECT_EQ(captureStdout(zef_log_open), "zef_log_open finished \n");
    flag("zefdebugflag");
    EXPECT_EQ(writeRecord(ZEF_LOG_INFO, 0, "open again"), "");
    EXPECT_EQ(harness::readFile(logFile()), "open again\n");
}

TEST_F(LogTest, WithoutFlagFilesNothingIsTouched)
{
    const std::string oldStamp = std::to_string(now() - 3000000);
    writeStamp(oldStamp);
    for (unsigned level : {0u, 1u, 5u, 7u, UINT_MAX})
        EXPECT_EQ(writeRecord(level, 1, "dropped"), "");
    EXPECT_EQ(filesInLogDir(), 0u);
    EXPECT_EQ(harness::readFile(stampFile()), oldStamp);  // the rollover check did not run
}

TEST_F(LogTest, ErrorFlagKeepsOnlyCriticalAndErrors)
{
    flag("zeferrflag");
    const std::string oldStamp = std::to_string(now() - 3000000);
    writeStamp(oldStamp);
    // A negative level from the caller arrives as a large unsigned value.
    for (unsigned level : {2u, 3u, 4u, 5u, 6u, 7u, 1000u, static_cast<unsigned>(-1),
                           static_cast<unsigned>(-5)})
        EXPECT_EQ(writeRecord(level, 0, "dropped"), "") << level;
    EXPECT_FALSE(fs::exists(logFile()));
    EXPECT_EQ(harness::readFile(stampFile()), oldStamp);

    fs::remove(stampFile());
    writeRecord(ZEF_LOG_CRTI, 0, "critical");
    writeRecord(ZEF_LOG_ERROR, 0, "error");
    EXPECT_EQ(harness::readFile(logFile()), "critical\nerror\n");
}

TEST_F(LogTest, DebugFlagKeepsEveryLevelWithItsTag)
{
    flag("zefdebugflag");
    flag("zeferrflag");
    const std::vector<std::pair<unsigned, std::string>> tags = {
        {0, "[CRTI]"}, {1, "[ERROR]"}, {2, "[WARNING]"}, {3, "[NOTICE]"},
        {4, "[INFO]"}, {5, "[DEBUG]"}, {6, "[NUM]"},    {7, "[     ]"},
        {1000, "[     ]"}, {static_cast<unsigned>(-1), "[     ]"},
    };
    for (const auto &[level, tag] : tags)
        writeRecord(level, 1, "m");
    const std::vector<std::string> got = harness::readLines(logFile());
    ASSERT_EQ(got.size(), tags.size());
    for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(got[i].substr(0, tags[i].second.size() + 1), tags[i].second + " ") << got[i];
        EXPECT_EQ(got[i].size(), tags[i].second.size() + 1 + 19 + 2) << got[i];
    }
}

TEST_F(LogTest, RecordLineFormats)
{
    flag("zefdebugflag");
    const long long before = now();
    writeRecord(ZEF_LOG_ERROR, 1, "disk full");
    writeRecord(ZEF_LOG_INFO, 1, "");
    const long long after = now();
    writeRecord(ZEF_LOG_INFO, 0, "no header");
    writeRecord(ZEF_LOG_INFO, 0, "");
    writeRecord(ZEF_LOG_INFO, 0, "%s %lld %n %%");
    writeRecord(ZEF_LOG_INFO, 0, nullptr);

    const std::vector<std::string> got = harness::readLines(logFile());
    ASSERT_EQ(got.size(), 6u);
    ASSERT_EQ(got[0].size(), sizeof "[ERROR] 2026/12/07 14:35:29 disk full" - 1) << got[0];
    EXPECT_EQ(got[0].substr(0, 8), "[ERROR] ");
    const std::string stamp = got[0].substr(8, 19);
    EXPECT_TRUE(stamp >= timeStamp(before) && stamp <= timeStamp(after)) << stamp;
    EXPECT_EQ(got[0].substr(27), " disk full");
    // An empty message with the header leaves the line ending in a blank.
    EXPECT_EQ(got[1].size(), sizeof "[INFO] 2026/12/07 14:35:29 " - 1) << got[1];
    EXPECT_EQ(got[1].back(), ' ');
    EXPECT_EQ(got[2], "no header");
    EXPECT_EQ(got[3], "");
    EXPECT_EQ(got[4], "%s %lld %n %%");
    EXPECT_EQ(got[5], "");  // a null message is written as an empty one
}

// A reader that splits the log by lines finds each record on a line of its
// own: a long one is cut within the record and keeps its line feed, and
// nothing in a message can end the line or begin a forged record.
TEST_F(LogTest, EveryRecordIsOneLineOfAtMost4094Bytes)
{
    flag("zefdebugflag");
    const std::string cut = "\xE2\x80\xA6";  // …
    const std::string zhong = "\xE4\xB8\xAD";  // 中, three bytes
    std::string chinese;
    for (int i = 0; i < 2000; ++i)
        chinese += zhong;
    const struct {
        int withHeader;
        std::string message, line;  // line: after the header, line feed included
    } cases[] = {
        {1, std::string(5000, 'x'), std::string(4094 - 27 - 4, 'x') + cut + "\n"},
        {0, std::string(4093, 'a'), std::string(4093, 'a') + "\n"},
        {0, std::string(4094, 'b'), std::string(4090, 'b') + cut + "\n"},
        {0, chinese, chinese.substr(0, 4089) + cut + "\n"},
        {0, std::string(4089, 'c') + "\n", std::string(4089, 'c') + "\\x0a\n"},
        {0, std::string(4090, 'd') + "\n", std::string(4090, 'd') + cut + "\n"},
        {1, "x\n[CRTI] 2030/01/01 00:00:00 admin logged in",
         "x\\x0a[CRTI] 2030/01/01 00:00:00 admin logged in\n"},
        {0, "\r\t\x1b[2J\x7f\x01 100% Gr\xC3\xBC\xC3\x9F",
         "\\x0d\\x09\\x1b[2J\\x7f\\x01 100% Gr\xC3\xBC\xC3\x9F\n"},
    };
    for (const auto &c : cases) {
        fs::remove(logFile());
        writeRecord(ZEF_LOG_INFO, c.withHeader, c.message.c_str());
        writeRecord(ZEF_LOG_INFO, 0, "next record");
        const std::string log = harness::readFile(logFile()).value_or("");
        const size_t header = c.withHeader ? sizeof "[INFO] 2026/12/07 14:35:29 " - 1 : 0;
        EXPECT_EQ(log.substr(std::min(header, log.size())), c.line + "next record\n")
            << c.message.substr(0, 20);
    }
}

TEST_F(LogTest, LogIsRecreatedWithMode0777)
{
    flag("zefdebugflag");
    const mode_t saved = umask(077);
    writeRecord(ZEF_LOG_INFO, 0, "first");
    EXPECT_EQ(modeOf(logFile()), 0777u);

    fs::remove(logFile());
    writeRecord(ZEF_LOG_INFO, 0, "second");
    EXPECT_EQ(harness::readFile(logFile()), "second\n");
    EXPECT_EQ(modeOf(logFile()), 0777u);

    // Every open sets the mode again, not only the one that creates the log.
    chmod(logFile().c_str(), 0600);
    writeRecord(ZEF_LOG_INFO, 0, "third");
    EXPECT_EQ(modeOf(logFile()), 0777u);
    umask(saved);
}

TEST_F(LogTest, LogThatCannotBeOpenedOrLockedLosesOnlyThatRecord)
{
    flag("zefdebugflag");
    fs::create_directory(logFile());
    EXPECT_EQ(writeRecord(ZEF_LOG_INFO, 0, "lost"), "fopen fail\n");
    EXPECT_EQ(writeRecord(ZEF_LOG_INFO, 0, "lost"), "fopen fail\n");  // the lock was released
    fs::remove(logFile());
    EXPECT_EQ(writeRecord(ZEF_LOG_INFO, 0, "kept"), "");
    // So does a lock on the log that another process holds past the wait.
    const int held = open(logFile().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    EXPECT_EQ(writeRecord(ZEF_LOG_INFO, 0, "lost"), "flock fail\n");
    close(held);
    EXPECT_EQ(writeRecord(ZEF_LOG_INFO, 0, "kept"), "");
    EXPECT_EQ(harness::readFile(logFile()), "kept\nkept\n");
}

// The host's child processes must not inherit the library's files. The
// log's descriptor is caught while records are written one after another;
// the stamp file is made a FIFO so that the library blocks with it open.
TEST_F(LogTest, DescriptorsAreCloseOnExec)
{
    flag("zefdebugflag");

    std::atomic<bool> seen{false};
    std::thread writer([&seen] {
        while (!seen)
            zef_write_log(ZEF_LOG_INFO, 0, "until the descriptor is seen");
    });
    EXPECT_TRUE(libraryDescriptorFlags(logFile(), -1) & O_CLOEXEC) << "log";
    seen = true;
    writer.join();
    fs::remove(logFile());

    ASSERT_EQ(mkfifo(stampFile().c_str(), 0600), 0);
    std::thread stampReader([] { zef_write_log(ZEF_LOG_INFO, 0, "after the stamp"); });
    const int stampEnd = open(stampFile().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(stampEnd, 0);
    EXPECT_TRUE(libraryDescriptorFlags(stampFile(), stampEnd) & O_CLOEXEC) << "stamp file";
    ASSERT_EQ(write(stampEnd, "x", 1), 1);  // not a stamp: the check ends there
    close(stampEnd);
    stampReader.join();
    EXPECT_EQ(harness::readFile(logFile()), "after the stamp\n");
}
