// Records from several processes appending to the same log, also across
// a rollover: every line whole, none lost.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>
#include <zeflog.h>

#include "harness.h"
#include "logtest.h"

namespace fs = std::filesystem;
using namespace logtest;

namespace {

using Children = std::vector<std::unique_ptr<harness::Child>>;

// One process per writer number, each running body with its number.
Children startWriters(int count, const std::function<void(int)> &body)
{
    Children children;
    for (int w = 0; w < count; ++w)
        children.push_back(std::make_unique<harness::Child>([&body, w] { body(w); }));
    return children;
}

bool anyRunning(Children &children)
{
    return std::any_of(children.begin(), children.end(),
                       [](const auto &child) { return child->running(); });
}

// Waits for every child and returns what each one printed.
std::vector<std::string> finish(Children &children)
{
    std::vector<std::string> out;
    for (auto &child : children) {
        EXPECT_EQ(child->exitStatus(240000), harness::Child::RETURNED);
        out.push_back(child->output());
    }
    return out;
}

}  // namespace

TEST_F(LogTest, FourProcessesLoseNoRecord)
{
    constexpr int processes = 4, perProcess = 5000;
    flag("zefdebugflag");
    Children children = startWriters(processes, [](int w) { writeRecords(w, perProcess); });
    finish(children);
    expectRecords(harness::readLines(logFile()), std::vector<int>(processes, perProcess));
}

// Three processes write on while the period runs out; each goes on until
// it has written 200 records after it saw the old log appear, so the
// rollover falls in the middle of their writing.
TEST_F(LogTest, RolloverWhileOthersWriteLosesNoRecord)
{
    constexpr int processes = 3, cap = 50000;
    flag("zefdebugflag");
    Children children = startWriters(processes, [](int w) {
        int written = 0;
        for (int after = 0; after < 200 && written < cap; ++written) {
            zef_write_log(ZEF_LOG_INFO, 1, record(w, written).c_str());
            if (access(oldLogFile().c_str(), F_OK) == 0)
                ++after;
        }
        printf("%d\n", written);
    });
    while (harness::readLines(logFile()).size() < 100 && anyRunning(children))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    writeStamp(std::to_string(now() - 2592000));

    std::vector<int> counts;
    for (const std::string &out : finish(children))
        counts.push_back(std::stoi(out));
    ASSERT_TRUE(fs::exists(oldLogFile()));
    std::vector<std::string> all = harness::readLines(oldLogFile());
    const std::vector<std::string> fresh = harness::readLines(logFile());
    EXPECT_FALSE(fresh.empty());
    all.insert(all.end(), fresh.begin(), fresh.end());
    expectRecords(all, counts);
}
