// The library as delivered: its dynamic symbols, its soname, and records in
// the real /var/zeflog, which only a private mount namespace shows, also
// when another user has planted something under the log's name.
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zeflog.h>

#include "harness.h"

namespace fs = std::filesystem;

TEST(ZeflogLibrary, ExportsOnlyItsThreeFunctions)
{
    harness::Result nm = harness::run({"nm", "-D", "--defined-only", ZEF_LIBRARY});
    ASSERT_EQ(nm.status, 0) << nm.out;
    std::set<std::string> names;
    std::istringstream symbols(nm.out);
    for (std::string line; std::getline(symbols, line);)
        names.insert(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(names, (std::set<std::string>{"zef_log_close", "zef_log_open", "zef_write_log"}));

    harness::Result readelf = harness::run({"readelf", "-d", ZEF_LIBRARY});
    EXPECT_NE(readelf.out.find("Library soname: [libzeflog.so.1]"), std::string::npos)
        << readelf.out;
}

TEST(ZeflogLibrary, WritesIntoVarZeflog)
{
    constexpr int cannotArrange = 77;
    const bool hostHadDir = fs::exists("/var/zeflog");
    harness::Result r = harness::run([] {
        // A tmpfs over /var: the host's /var/zeflog stays out of reach.
        if (!harness::privateLogDirectory("zeferrflag"))
            _exit(cannotArrange);
        zef_write_log(ZEF_LOG_ERROR, 0, "before the library is opened");
        zef_log_open();
        zef_write_log(ZEF_LOG_ERROR, 0, "into the real directory");
        zef_write_log(ZEF_LOG_INFO, 0, "dropped by the error switch");
        zef_log_close();
        struct stat st {};
        stat("/var/zeflog/VantrelZEF.log", &st);
        printf("mode %o\n", st.st_mode & 07777);
        fflush(stdout);
        execlp("cat", "cat", "/var/zeflog/VantrelZEF.log", static_cast<char *>(nullptr));
    });
    if (r.status == cannotArrange)
        GTEST_SKIP() << "cannot mount a private tmpfs over /var here (needs root and unshare)";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "zef log not init \nzef_log_open finished \nzef_log_close finished \n"
                     "mode 777\ninto the real directory\n");
    EXPECT_EQ(fs::exists("/var/zeflog"), hostHadDir);
}

// Whoever may write into /var/zeflog can plant the log's name there: a link
// to a file of the service's user, which would gain the record and mode 0777,
// or a FIFO kept full, which would block the writer for good. The record is
// dropped instead, as when the log cannot be opened.
TEST(ZeflogLibrary, WritesIntoNothingButARegularFileOfOneName)
{
    constexpr int cannotArrange = 77;
    static const char *const LOG = "/var/zeflog/VantrelZEF.log";
    static const char *const TARGET = "/var/target";
    // Planted by another user, where the kernel lets them.
    auto asNobody = [](const std::function<bool()> &plant) {
        return harness::run([&] { _exit(harness::becomeNobody() && plant() ? 0 : 1); }).status == 0;
    };
    const std::vector<std::pair<std::string, std::function<bool()>>> plants = {
        {"symbolic link", [&] { return asNobody([] { return symlink(TARGET, LOG) == 0; }); }},
        // An unprivileged user may link only files they can read and write
        // where protected_hardlinks is on; root stands in for a kernel
        // without it.
        {"hard link", [] { return link(TARGET, LOG) == 0; }},
        {"full FIFO", [&] {
             if (!asNobody([] { return mkfifo(LOG, 0666) == 0; }))
                 return false;
             // Kept open, and so full, until the test's process ends.
             const int end = open(LOG, O_RDWR | O_NONBLOCK | O_CLOEXEC);
             char block[4096] = {};
             while (write(end, block, sizeof block) > 0) {
             }
             while (write(end, block, 1) > 0) {
             }
             return end >= 0;
         }},
    };
    for (const auto &[what, plant] : plants) {
        harness::Result r = harness::run([&plant = plant] {
            // Writable by every user, and not sticky: the kernel's own
            // protection of links in sticky directories stays out of play.
            if (!harness::privateLogDirectory("zefdebugflag") || chmod("/var/zeflog", 0777) != 0)
                _exit(cannotArrange);
            std::ofstream(TARGET) << "root's own\n";
            if (chmod(TARGET, 0600) != 0 || !plant())
                _exit(cannotArrange);
            zef_log_open();
            zef_write_log(ZEF_LOG_CRTI, 0, "planted");
            zef_log_close();
            struct stat st {};
            stat(TARGET, &st);
            printf("%o %s", st.st_mode & 07777, harness::readFile(TARGET).value_or("").c_str());
        });
        if (r.status == cannotArrange)
            GTEST_SKIP() << "cannot arrange a private /var/zeflog with a second user (needs root)";
        EXPECT_EQ(r.status, harness::Child::RETURNED) << what;
        EXPECT_EQ(r.out, "zef_log_open finished \nfopen fail\nzef_log_close finished \n"
                         "600 root's own\n") << what;
    }
}

// A full disk: the record that does not fit is taken back whole, with a line
// on standard output, and once there is room again the next record starts
// on a fresh line. The log before the disk fills ends inside its last page
// (the record is cut part way) or on its page's end (nothing fits).
TEST(ZeflogLibrary, WritesARecordWholeOrNotAtAllOnAFullDisk)
{
    constexpr int cannotArrange = 77;
    const std::vector<std::vector<std::string>> befores = {
        {std::string(3999, 'a')},
        {std::string(4093, 'b'), "c"},
    };
    for (const std::vector<std::string> &before : befores) {
        harness::Result r = harness::run([&before] {
            if (!harness::privateMountNamespace()
                || mount("tmpfs", "/var", "tmpfs", 0, "size=64k,mode=0755") != 0
                || mkdir("/var/zeflog", 0755) != 0 || !std::ofstream("/var/zeflog/zefdebugflag"))
                _exit(cannotArrange);
            zef_log_open();
            for (const std::string &message : before)
                zef_write_log(ZEF_LOG_INFO, 0, message.c_str());
            const int filler = open("/var/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            for (size_t size : {4096, 1}) {
                const std::string block(size, 'f');
                while (write(filler, block.data(), block.size()) > 0) {
                }
            }
            close(filler);
            zef_write_log(ZEF_LOG_ERROR, 1, std::string(300, 'x').c_str());
            unlink("/var/filler");
            zef_write_log(ZEF_LOG_ERROR, 0, "after");
            zef_log_close();
            printf("%s", harness::readFile("/var/zeflog/VantrelZEF.log").value_or("").c_str());
        });
        if (r.status == cannotArrange)
            GTEST_SKIP() << "cannot mount a private tmpfs over /var here (needs root and unshare)";
        std::string log;
        for (const std::string &message : before)
            log += message + "\n";
        EXPECT_EQ(r.status, harness::Child::RETURNED);
        EXPECT_EQ(r.out, "zef_log_open finished \nwrite fail\nzef_log_close finished \n" + log
                         + "after\n") << before.size();
    }
}
