// The library as delivered: its dynamic symbols, its soname, and records in
// the real /var/zeflog, which only a private mount namespace shows.
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
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
