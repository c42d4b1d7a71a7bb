// Records per second of the log library, switched on (one and four
// threads, and one thread with a message cut to fit) and off, beside the
// shell-per-record design in the same run: a chmod through the shell for
// every record. Both log into the build tree.
#include <zeflog.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string LOG_FILE = ZEF_BENCH_LOG_DIR "/VantrelZEF.log";
const std::string DEBUG_FLAG = ZEF_BENCH_LOG_DIR "/zefdebugflag";
const char MESSAGE[] = "certificate list written, 4 entries";

// An empty log directory, with the debug flag when logging is on.
void freshDirectory(bool on)
{
    fs::remove_all(ZEF_BENCH_LOG_DIR);
    fs::create_directories(ZEF_BENCH_LOG_DIR);
    if (on)
        std::ofstream(DEBUG_FLAG).put('1');
    zef_log_open();
}

// A message longer than a record holds, cut to fit.
const std::string LONG_MESSAGE(5000, 'x');

// Records of a level that the debug flag lets through, with logging on
// or off.
void records(benchmark::State &state, bool on, const char *message)
{
    if (state.thread_index() == 0)
        freshDirectory(on);
    for (auto _ : state)
        zef_write_log(ZEF_LOG_INFO, 1, message);
    state.SetItemsProcessed(state.iterations());
}

// The shell-per-record design, kept here only for the comparison: the same
// switches, stamp-file look-up, open, write, flush and close, plus a chmod
// run through the shell after every open.
std::mutex shellMutex;

void shellWriteLog(unsigned level, const char *msg)
{
    static const std::string chmod = "chmod 0777 " + LOG_FILE;
    if (access(DEBUG_FLAG.c_str(), F_OK) != 0 && level > ZEF_LOG_ERROR)
        return;
    std::lock_guard<std::mutex> lock(shellMutex);
    char exe[256] = {};
    char stamp[256] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) >= 0) {
        *strrchr(exe, '/') = '\0';
        snprintf(stamp, sizeof stamp - 1, "%s/config/logmaxage", exe);
        if (FILE *f = fopen(stamp, "rb"))
            fclose(f);
    }
    FILE *fp = fopen(LOG_FILE.c_str(), "a+");
    if (!fp)
        return;
    if (system(chmod.c_str()) != 0)
        return;
    char now[24] = {};
    char line[4096] = {};
    time_t t = time(nullptr);
    strftime(now, sizeof now - 1, "%Y/%m/%d %H:%M:%S", localtime(&t));
    snprintf(line, sizeof line - 1, "%s %s %s\n", "[INFO]", now, msg);
    fwrite(line, 1, strlen(line), fp);
    fflush(fp);
    fclose(fp);
}

void shellPerRecord(benchmark::State &state)
{
    freshDirectory(true);
    for (auto _ : state)
        shellWriteLog(ZEF_LOG_INFO, MESSAGE);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(records, on, true, MESSAGE)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK_CAPTURE(records, long, true, LONG_MESSAGE.c_str())->UseRealTime();
BENCHMARK_CAPTURE(records, off, false, MESSAGE)->UseRealTime();
BENCHMARK(shellPerRecord)->UseRealTime();

BENCHMARK_MAIN();
