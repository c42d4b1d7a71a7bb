// The hand-off operations against real System V segments, under a key of
// each test process's own so that a live prompt's segment is never touched.
#include "harness.h"
#include "segment_expect.h"
#include "handoff.h"
#include "sharememory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

constexpr size_t SIZE = 1024;

class ShareMemory : public ::testing::Test {
protected:
    void SetUp() override { harness::removeSegment(key); }
    void TearDown() override { harness::removeSegment(key); }

    // A leftover segment as an earlier run or another program leaves it.
    int makeSegment(size_t size, const std::string &bytes = {}, int mode = 0666)
    {
        int id = shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
        EXPECT_NE(id, -1) << strerror(errno);
        if (!bytes.empty()) {
            void *addr = shmat(id, nullptr, 0);
            memcpy(addr, bytes.data(), bytes.size());
            shmdt(addr);
        }
        return id;
    }

    shmid_ds stat(int id)
    {
        shmid_ds ds{};
        EXPECT_EQ(shmctl(id, IPC_STAT, &ds), 0) << strerror(errno);
        return ds;
    }

    std::string write(const std::string &payload, bool expected = true)
    {
        return harness::captureStdout([&] {
            EXPECT_EQ(copyToShareMemory(key, payload.data(), payload.size()), expected);
        });
    }

    std::string remove(size_t size = SIZE)
    {
        return harness::captureStdout([&] { removeShareMemory(key, size); });
    }

    const key_t key = 0x5A000000 + getpid();
};

std::string payload(char fill)
{
    std::string p(SIZE, '\0');
    p.replace(0, 20, 20, fill);
    return p;
}

TEST_F(ShareMemory, NoLeftoverTracesEnoentAndCreatesExactSegment)
{
    EXPECT_EQ(remove(), "ENOENT\n");
    EXPECT_EQ(write(payload('a')), "");

    int id = shmget(key, 0, 0);
    ASSERT_NE(id, -1);
    shmid_ds ds = stat(id);
    EXPECT_EQ(ds.shm_segsz, SIZE);
    EXPECT_EQ(ds.shm_perm.mode & 0777, RESULT_MODE);
    EXPECT_EQ(ds.shm_perm.uid, geteuid());
    EXPECT_EQ(ds.shm_nattch, 0u);  // detached
    EXPECT_EQ(harness::readSegment(key), payload('a'));
}

TEST_F(ShareMemory, LeftoverOfSameSizeIsReplacedWhileAReaderKeepsItsBytes)
{
    int old = makeSegment(SIZE, payload('o'));
    void *reader = shmat(old, nullptr, SHM_RDONLY);
    ASSERT_NE(reader, reinterpret_cast<void *>(-1));

    EXPECT_EQ(remove(), "");
    EXPECT_EQ(write(payload('n')), "");

    EXPECT_EQ(std::string(static_cast<const char *>(reader), SIZE), payload('o'));
    EXPECT_NE(shmget(key, 0, 0), old);
    EXPECT_EQ(harness::readSegment(key), payload('n'));
    shmdt(reader);
}

TEST_F(ShareMemory, LargerLeftoverIsRemovedAndTheNewSegmentHasTheRightSize)
{
    makeSegment(4 * SIZE, std::string(4 * SIZE, 'x'));
    EXPECT_EQ(remove(), "");
    EXPECT_EQ(write(payload('n')), "");
    EXPECT_EQ(harness::readSegment(key), payload('n'));
}

TEST_F(ShareMemory, SmallerLeftoverStaysAndTheWriteFailsWithEinval)
{
    int small = makeSegment(SIZE / 2, std::string(SIZE / 2, 's'));
    EXPECT_EQ(remove(), "");
    EXPECT_EQ(write(payload('n'), false), EINVAL_LINE + "shmget fail\n");

    EXPECT_EQ(shmget(key, 0, 0), small);
    EXPECT_EQ(stat(small).shm_segsz, SIZE / 2);
    EXPECT_EQ(harness::readSegment(key), std::string(SIZE / 2, 's'));
}

// The operations run as an unprivileged user in a child: root would pass the
// permission check through CAP_IPC_OWNER.
TEST_F(ShareMemory, LeftoverOfAnotherUserWithoutPermissionGivesEacces)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a second user (nobody)";
    int other = makeSegment(SIZE, payload('r'), 0600);

    const harness::Result r = harness::run([&] {
        if (!harness::becomeNobody())
            _exit(2);
        const std::string out = remove() + "--\n" + write(payload('n'), false);
        fputs(out.c_str(), stdout);
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    });
    EXPECT_EQ(r.status, 0);

    EXPECT_EQ(r.out, "--\n" + EACCES_LINE + "shmget fail\n");
    EXPECT_EQ(shmget(key, 0, 0), other);
    EXPECT_EQ(harness::readSegment(key), payload('r'));
}

// Planted before the write, another user's segment would receive the result
// and hand it to them; it gets no byte. Played in an IPC namespace of the
// test's own, so that the host's segments stay out of reach.
constexpr int cannotArrange = 77;

TEST_F(ShareMemory, SegmentPlantedByAnotherUserReceivesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a second user (nobody)";
    harness::Result r = harness::run([&] {
        if (!harness::privateIpcNamespace()
            || harness::run([this] {
                   _exit(harness::becomeNobody() && shmget(key, SIZE, IPC_CREAT | 0666) != -1
                             ? 0 : 1);
               }).status != 0)
            _exit(cannotArrange);
        fputs(write(payload('p'), false).c_str(), stdout);
        puts(harness::readSegment(key) == std::string(SIZE, '\0') ? "untouched" : "written");
    });
    if (r.status == cannotArrange)
        GTEST_SKIP() << "cannot make a private IPC namespace here (needs root)";
    EXPECT_EQ(r.out, "segment " + std::to_string(key) + " belongs to another user\nshmget fail\n"
                     "untouched\n");
}

// Started by libzefclient, a prompt hands its result to the descriptor
// named in its environment, and takes it only when it is an open file
// without a name: never a standard stream or a named file of whoever set
// the variable, and then not the segment either. Unset, the segment as ever.
TEST_F(ShareMemory, HandOffTakesOnlyADescriptorWithoutANameAndReplacesWhatItHeld)
{
    harness::TempDir dir;
    dir.write("named", "keep");
    const int memfd = memfd_create("result", MFD_CLOEXEC);
    const int named = open(dir.file("named").c_str(), O_RDWR | O_CLOEXEC);
    const std::string bad[] = {"1", "2", std::to_string(named), "999", "", "-5",
                               std::to_string(memfd) + "x"};
    for (const std::string &value : bad) {
        setenv(RESULT_FD_VARIABLE, value.c_str(), 1);
        EXPECT_EQ(handedDescriptor(RESULT_FD_VARIABLE), HANDED_BADLY) << value;
        EXPECT_FALSE(handOverResult(key, "abc", 3)) << value;
    }
    EXPECT_EQ(dir.read("named"), "keep");
    EXPECT_FALSE(harness::readSegment(key));

    setenv(RESULT_FD_VARIABLE, std::to_string(memfd).c_str(), 1);
    EXPECT_EQ(handedDescriptor(RESULT_FD_VARIABLE), memfd);
    std::string text;
    for (const std::string result : {"a longer text", "-1"}) {
        ASSERT_TRUE(handOverResult(key, result.data(), result.size()));
        ASSERT_TRUE(readHanded(memfd, 64, text));
        EXPECT_EQ(text, result);
    }
    EXPECT_FALSE(readHanded(memfd, 1, text));

    unsetenv(RESULT_FD_VARIABLE);
    EXPECT_EQ(handedDescriptor(RESULT_FD_VARIABLE), NOT_HANDED);
    EXPECT_TRUE(handOverResult(key, "abc", 3));
    EXPECT_EQ(harness::readSegment(key).value_or("").substr(0, 3), "abc");
    close(memfd);
    close(named);
}

}  // namespace
