// Records from many threads of one process: every line whole, none lost.
// Also built with ThreadSanitizer.
#include <thread>
#include <vector>
#include <zeflog.h>

#include "harness.h"
#include "logtest.h"

using namespace logtest;

TEST_F(LogTest, EightThreadsLoseNoRecord)
{
    constexpr int threads = 8, perThread = 10000;
    flag("zefdebugflag");
    std::vector<std::thread> writers;
    for (int w = 0; w < threads; ++w) {
        writers.emplace_back([w] { writeRecords(w, perThread); });
    }
    for (std::thread &t : writers)
        t.join();
    expectRecords(harness::readLines(logFile()), std::vector<int>(threads, perThread));
}
