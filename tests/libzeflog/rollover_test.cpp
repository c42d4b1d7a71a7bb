// The 30-day rollover, driven through the stamp file beside the test
// executable with stamps relative to the present time.
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zeflog.h>

#include "harness.h"
#include "logtest.h"

namespace fs = std::filesystem;
using namespace logtest;

namespace {

void writeRecord(const char *msg)
{
    zef_write_log(ZEF_LOG_INFO, 0, msg);
}

std::string stampAgo(long long seconds)
{
    return std::to_string(now() - seconds);
}

// The stamp file holds bare digits of a time between before and after.
void expectStampRenewed(long long before, long long after)
{
    const std::string text = harness::readFile(stampFile()).value_or("");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << text;
    EXPECT_GE(std::stoll(text), before);
    EXPECT_LE(std::stoll(text), after);
}

// Whether the process has the stamp file open on a descriptor other than
// except: while another holds its lock, a writer with it open waits for it.
bool opensStampFile(pid_t pid, int except)
{
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        if (entry.path().filename() != std::to_string(except)
            && fs::read_symlink(entry.path(), ec) == stampFile())
            return true;
    }
    return false;
}

class RolloverTest : public LogTest {
protected:
    void SetUp() override
    {
        LogTest::SetUp();
        flag("zefdebugflag");
    }
};

}  // namespace

TEST_F(RolloverTest, WithoutStampFileTheLogGrows)
{
    for (const char *msg : {"one", "two", "three"})
        writeRecord(msg);
    EXPECT_EQ(harness::readFile(logFile()), "one\ntwo\nthree\n");
    EXPECT_FALSE(fs::exists(oldLogFile()));
    EXPECT_FALSE(fs::exists(stampFile()));  // never created
}

TEST_F(RolloverTest, StampTextsThatAreNotDigitsSwitchItOff)
{
    const std::string old = stampAgo(3000000);
    for (const std::string &text : {old + "\n\n", " " + old, "+" + old, "-" + old, old + " ",
                                    old + "\r\r\n", old + "\n\r", std::string("0x10")}) {
        writeStamp(text);
        EXPECT_EQ(harness::captureStdout([] { writeRecord("kept"); }), "");
        EXPECT_EQ(harness::readFile(stampFile()), text);
    }
    EXPECT_FALSE(fs::exists(oldLogFile()));
    EXPECT_EQ(harness::readLines(logFile()).size(), 8u);
}

TEST_F(RolloverTest, EmptyOrZeroStampStartsThePeriod)
{
    for (const char *text : {"", "0", "000", "\n", "0\r\n", "\r"}) {
        writeStamp(text);
        const long long before = now();
        writeRecord("record");
        expectStampRenewed(before, now());
    }
    EXPECT_FALSE(fs::exists(oldLogFile()));
    EXPECT_EQ(harness::readLines(logFile()).size(), 6u);
}

TEST_F(RolloverTest, PeriodBoundaries)
{
    // 2591999 seconds is still inside the period. Should the clock tick
    // between setting the stamp and the check, the check saw 2592000: try
    // again within one second.
    for (long long start = 0;;) {
        fs::remove(oldLogFile());
        start = now();
        writeStamp(std::to_string(start - 2591999));
        writeRecord("inside");
        if (now() == start) {
            EXPECT_FALSE(fs::exists(oldLogFile()));
            EXPECT_EQ(harness::readFile(stampFile()), std::to_string(start - 2591999));
            break;
        }
    }

    // A stamp in the future holds the rollover off and stays.
    const std::string future = std::to_string(now() + 100000);
    writeStamp(future);
    writeRecord("future");
    EXPECT_FALSE(fs::exists(oldLogFile()));
    EXPECT_EQ(harness::readFile(stampFile()), future);

    const std::string before = *harness::readFile(logFile());
    writeStamp(stampAgo(2592000));
    const long long t = now();
    writeRecord("new period");
    expectStampRenewed(t, now());
    EXPECT_EQ(harness::readFile(oldLogFile()), before);
    EXPECT_EQ(harness::readFile(logFile()), "new period\n");
}

TEST_F(RolloverTest, RolloverReplacesTheOldLogAndStartsAFreshOne)
{
    const mode_t saved = umask(077);
    std::ofstream(oldLogFile()) << "from an earlier period\n";
    writeRecord("one");
    writeRecord("two");
    writeStamp(stampAgo(40 * 86400) + "\r\n");  // a stamp written on another system
    const long long before = now();
    writeRecord("three");
    expectStampRenewed(before, now());
    EXPECT_EQ(harness::readFile(oldLogFile()), "one\ntwo\n");
    EXPECT_EQ(harness::readFile(logFile()), "three\n");
    struct stat st {};
    ASSERT_EQ(stat(logFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);

    writeRecord("four");  // the renewed stamp holds the next period off
    EXPECT_EQ(harness::readFile(oldLogFile()), "one\ntwo\n");
    EXPECT_EQ(harness::readFile(logFile()), "three\nfour\n");
    umask(saved);
}

TEST_F(RolloverTest, OnlyTheFirst127BytesOfTheStampCount)
{
    std::string text = stampAgo(2592000);
    text.insert(0, 127 - text.size(), '0');
    writeRecord("old");
    writeStamp(text + "junk beyond the stamp");
    writeRecord("new");
    EXPECT_EQ(harness::readFile(oldLogFile()), "old\n");
    EXPECT_EQ(harness::readFile(logFile()), "new\n");
}

TEST_F(RolloverTest, MissingLogLeavesTheOldLogAndRenewsTheStamp)
{
    std::ofstream(oldLogFile()) << "kept\n";
    writeStamp(stampAgo(2592000));
    const long long before = now();
    writeRecord("first");
    expectStampRenewed(before, now());
    EXPECT_EQ(harness::readFile(oldLogFile()), "kept\n");
    EXPECT_EQ(harness::readFile(logFile()), "first\n");
}

// A stamp that could not be renewed would find the period run out at every
// record, and each record would replace the old log.
TEST_F(RolloverTest, StampThatCannotBeRewrittenHoldsRolloverOff)
{
    constexpr int cannotArrange = 77;
    writeRecord("before");
    const std::string old = stampAgo(2592000);
    writeStamp(old);
    if (geteuid() != 0)
        chmod(stampFile().c_str(), 0444);
    const std::string config = fs::path(stampFile()).parent_path();
    harness::Result r = harness::run([&] {
        // Root writes through any mode: a read-only mount of the directory
        // instead, in a namespace of this process alone.
        if (geteuid() == 0
            && !(harness::privateMountNamespace()
                 && mount(config.c_str(), config.c_str(), nullptr, MS_BIND, nullptr) == 0
                 && mount(nullptr, config.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                          nullptr) == 0))
            _exit(cannotArrange);
        writeRecord("one");
        writeRecord("two");
    });
    if (r.status == cannotArrange)
        GTEST_SKIP() << "no read-only stamp file: root cannot make a private read-only mount here";
    ASSERT_EQ(r.status, harness::Child::RETURNED) << r.out;
    EXPECT_EQ(harness::readFile(stampFile()), old);
    EXPECT_FALSE(fs::exists(oldLogFile()));
    EXPECT_EQ(harness::readFile(logFile()), "before\none\ntwo\n");
}

// Two processes that find the period run out at the same moment: the
// second must read the stamp renewed by the first and leave the old log be.
TEST_F(RolloverTest, ConcurrentChecksRollOverOnce)
{
    writeRecord("last of the period");
    writeStamp(stampAgo(2592000));

    const int held = open(stampFile().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    harness::Child first([] { writeRecord("new period"); });
    harness::Child second([] { writeRecord("new period"); });
    // Without the lock both would check at once; a library that takes none
    // lets them end instead of waiting here. The children inherit held,
    // which does not count.
    auto waiting = [&] {
        return opensStampFile(first.pid(), held) && opensStampFile(second.pid(), held);
    };
    while (!waiting() && (first.running() || second.running()))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(waiting()) << "both checks wait for the stamp file's lock";
    // Unlocked rather than closed: the children hold copies of the descriptor.
    flock(held, LOCK_UN);
    close(held);

    for (harness::Child *child : {&first, &second})
        ASSERT_EQ(child->exitStatus(60000), harness::Child::RETURNED);
    EXPECT_EQ(harness::readFile(oldLogFile()), "last of the period\n");
    EXPECT_EQ(harness::readFile(logFile()), "new period\nnew period\n");
}

// Anyone who can read the stamp file can lock it and keep the lock. A
// writer then waits for it only a moment: its record is written, and the
// rollover is left to a later record.
TEST_F(RolloverTest, StampLockHeldByAnotherUserStopsNoRecord)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a second user (nobody)";
    writeRecord("last of the period");
    const std::string old = stampAgo(2592000);
    writeStamp(old);
    {
        // Opened here: the build tree need not be readable by nobody.
        const int fd = open(stampFile().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        harness::Child holder([fd] {
            if (harness::becomeNobody() && flock(fd, LOCK_EX) == 0)
                puts("held");
            fflush(stdout);
            pause();
        });
        close(fd);
        while (holder.output().empty() && holder.running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(holder.output(), "held\n");

        harness::Child writer([] { writeRecord("while the lock is held"); });
        ASSERT_EQ(writer.exitStatus(60000), harness::Child::RETURNED);
        EXPECT_EQ(harness::readFile(logFile()), "last of the period\nwhile the lock is held\n");
        EXPECT_EQ(harness::readFile(stampFile()), old);
        EXPECT_FALSE(fs::exists(oldLogFile()));
    }
    writeRecord("new period");
    EXPECT_EQ(harness::readFile(oldLogFile()), "last of the period\nwhile the lock is held\n");
    EXPECT_EQ(harness::readFile(logFile()), "new period\n");
}
