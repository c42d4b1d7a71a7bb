// Records from many threads of one process: every line whole, none lost.
// Also built with ThreadSanitizer.
#include <thread>
#include <vector>
#include <zeflog.h>

#include "logtest.h"

using namespace logtest;

TEST_F(LogTest, EightThreadsLoseNoRecord)
{
    constexpr int threads = 8, perThread = 10000;
    flag("zefdebugflag");
    std::vector<std::thread> writers;
    for (int w = 0; w < threads; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < perThread; ++i)
                zef_write_log(ZEF_LOG_INFO, 1, record(w, i).c_str());
        });
    }
    for (std::thread &t : writers)
        t.join();
    expectRecords(lines(logFile()), std::vector<int>(threads, perThread));
}
