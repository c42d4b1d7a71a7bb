// Records from several processes appending to the same log, also across
// a rollover: every line whole, none lost.
#include <filesystem>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zeflog.h>

#include "harness.h"
#include "logtest.h"

namespace fs = std::filesystem;
using namespace logtest;

namespace {

// Waits for every child and returns what each one printed.
std::vector<std::string> finish(std::vector<std::unique_ptr<harness::Child>> &children)
{
    std::vector<std::string> out;
    for (auto &child : children) {
        const std::optional<int> status = child->wait(240000);
        EXPECT_TRUE(status && WIFEXITED(*status)
                    && WEXITSTATUS(*status) == harness::Child::RETURNED);
        out.push_back(child->output());
    }
    return out;
}

}  // namespace

TEST_F(LogTest, FourProcessesLoseNoRecord)
{
    constexpr int processes = 4, perProcess = 5000;
    flag("zefdebugflag");
    std::vector<std::unique_ptr<harness::Child>> children;
    for (int w = 0; w < processes; ++w) {
        children.push_back(std::make_unique<harness::Child>([w] {
            for (int i = 0; i < perProcess; ++i)
                zef_write_log(ZEF_LOG_INFO, 1, record(w, i).c_str());
        }));
    }
    finish(children);
    expectRecords(lines(logFile()), std::vector<int>(processes, perProcess));
}

// Three processes write on while the period runs out; each goes on until
// it has written 200 records after it saw the old log appear, so the
// rollover falls in the middle of their writing.
TEST_F(LogTest, RolloverWhileOthersWriteLosesNoRecord)
{
    constexpr int processes = 3, cap = 50000;
    flag("zefdebugflag");
    std::vector<std::unique_ptr<harness::Child>> children;
    for (int w = 0; w < processes; ++w) {
        children.push_back(std::make_unique<harness::Child>([w] {
            int written = 0;
            for (int after = 0; after < 200 && written < cap; ++written) {
                zef_write_log(ZEF_LOG_INFO, 1, record(w, written).c_str());
                if (access(oldLogFile().c_str(), F_OK) == 0)
                    ++after;
            }
            printf("%d\n", written);
        }));
    }
    while (lines(logFile()).size() < 100)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    writeStamp(std::to_string(now() - 2592000));

    std::vector<int> counts;
    for (const std::string &out : finish(children))
        counts.push_back(std::stoi(out));
    ASSERT_TRUE(fs::exists(oldLogFile()));
    std::vector<std::string> all = lines(oldLogFile());
    const std::vector<std::string> fresh = lines(logFile());
    EXPECT_FALSE(fresh.empty());
    all.insert(all.end(), fresh.begin(), fresh.end());
    expectRecords(all, counts);
}
