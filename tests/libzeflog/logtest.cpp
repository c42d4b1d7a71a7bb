#include "logtest.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <zeflog.h>

#include "harness.h"

namespace fs = std::filesystem;

namespace logtest {

std::string logPath(const std::string &name)
{
    return std::string(ZEF_TEST_LOG_DIR) + "/" + name;
}

std::string logFile()
{
    return logPath("VantrelZEF.log");
}

std::string oldLogFile()
{
    return logPath("VantrelZEF-old.log");
}

std::string stampFile()
{
    return fs::read_symlink("/proc/self/exe").parent_path().string() + "/config/logmaxage";
}

void writeStamp(const std::string &text)
{
    const std::string tmp = stampFile() + ".new";
    std::ofstream(tmp, std::ios::binary | std::ios::trunc) << text;
    fs::rename(tmp, stampFile());
}

long long now()
{
    return static_cast<long long>(time(nullptr));
}

std::string timeStamp(long long when)
{
    time_t t = static_cast<time_t>(when);
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &tm);
    return buf;
}

void LogTest::SetUp()
{
    fs::remove_all(ZEF_TEST_LOG_DIR);
    fs::create_directories(ZEF_TEST_LOG_DIR);
    fs::create_directories(fs::path(stampFile()).parent_path());
    fs::remove(stampFile());
    harness::captureStdout(zef_log_open);
}

void LogTest::TearDown()
{
    harness::captureStdout(zef_log_close);
    fs::remove(stampFile());
    fs::remove_all(ZEF_TEST_LOG_DIR);
}

void LogTest::flag(const char *name)
{
    std::ofstream(logPath(name)).put('1');
}

std::string record(int writer, int seq)
{
    char buf[64];
    snprintf(buf, sizeof buf, "writer %02d record %06d end", writer, seq);
    return buf;
}

void writeRecords(int writer, int count)
{
    for (int i = 0; i < count; ++i)
        zef_write_log(ZEF_LOG_INFO, 1, record(writer, i).c_str());
}

void expectRecords(const std::vector<std::string> &lines, const std::vector<int> &counts)
{
    std::vector<std::vector<int>> seen;
    for (int count : counts)
        seen.emplace_back(static_cast<size_t>(count), 0);
    const size_t headerLen = sizeof "[INFO] 2026/12/07 14:35:29 " - 1;
    size_t whole = 0;
    for (const std::string &line : lines) {
        int writer = -1, seq = -1;
        if (line.size() <= headerLen || line.compare(0, 7, "[INFO] ") != 0
            || sscanf(line.c_str() + headerLen, "writer %d record %d", &writer, &seq) != 2
            || writer < 0 || writer >= static_cast<int>(counts.size()) || seq < 0
            || seq >= counts[static_cast<size_t>(writer)]
            || line.compare(headerLen, std::string::npos, record(writer, seq)) != 0) {
            ADD_FAILURE() << "not a whole record: " << line;
            continue;
        }
        ++seen[static_cast<size_t>(writer)][static_cast<size_t>(seq)];
        ++whole;
    }
    size_t expected = 0;
    for (size_t w = 0; w < counts.size(); ++w) {
        expected += static_cast<size_t>(counts[w]);
        for (size_t s = 0; s < seen[w].size(); ++s) {
            if (seen[w][s] != 1) {
                ADD_FAILURE() << record(static_cast<int>(w), static_cast<int>(s)) << " appears "
                              << seen[w][s] << " times";
                return;
            }
        }
    }
    EXPECT_EQ(whole, expected);
}

}  // namespace logtest
