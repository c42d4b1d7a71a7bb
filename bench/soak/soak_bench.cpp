// A soak of libzefclient's blocking calls: N round trips with the real
// prompts under an X server of the benchmark's own, each prompt in turn
// chosen, cancelled, timed out and killed, answered by a driver thread as a
// user would. Prints per kind the median and 95th percentile of the call's
// time, this caller's resident memory and descriptors at the start, the
// middle and the end, and what is left behind. Exits 1 on any failed trip
// or leftover.
//   soak_bench [TRIPS]      (default 20)
#include "harness.h"

#include <zefkit/zefclient.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Steps = std::vector<std::vector<std::string>>;

const char CERTS[] = R"({"columns": [{"title": "Subject", "member": "DN"}],
                         "certificates": [{"DN": "CN=Alice"}, {"DN": "CN=Bob"}]})";
const char *const PROMPTS[] = {"tessary", "quorrel", "dirvane"};
const char *const PROMPT_NAMES[] = {"certificate", "PIN", "directory"};
const char *const OUTCOMES[] = {"chosen", "cancelled", "timeout", "killed"};
enum Outcome { Chosen, Cancelled, Timeout, Killed };
const int EXPECTED[] = {ZEF_CHOSEN, ZEF_CANCELLED, ZEF_TIMEOUT, ZEF_ERROR};
const int KINDS = 12;  // three prompts, four outcomes
const int TIMEOUT_MS = 1000;
// A trip that a user answers still has a limit, so that a lost window fails
// the trip instead of stopping the soak.
const int ANSWERED_LIMIT_MS = 30000;

// The user's steps: row 1 lies below the table's header and row 0.
Steps steps(int prompt, Outcome outcome, const std::string &chosenDir)
{
    static const Steps answer[3][2] = {
        {{{"mousemove", "100", "62"}, {"click", "1"}, {"mousemove", "220", "290"}, {"click", "1"}},
         {{"mousemove", "360", "290"}, {"click", "1"}}},
        {{{"type", "123456"}, {"key", "Return"}}, {{"key", "Escape"}}},
        {{}, {{"key", "Escape"}}},
    };
    if (prompt == 2 && outcome == Chosen)
        return {{"type", chosenDir}, {"key", "Return"}};
    return answer[prompt][outcome];
}

// The prompt that the calling thread started, once it is there.
pid_t promptOf(const char *name)
{
    for (int i = 0; i < 400; ++i) {
        for (const auto &task : fs::directory_iterator("/proc/self/task")) {
            std::ifstream children(task.path() / "children");
            for (pid_t pid; children >> pid;) {
                std::string comm;
                std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> comm;
                if (comm == name)
                    return pid;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return -1;
}

struct Usage {
    long rssKb = 0;
    long descriptors = 0;
};

Usage usage()
{
    Usage u;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            u.rssKb = std::atol(line.c_str() + 6);
    // The listing's own descriptor included, at every point alike.
    u.descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), {});
    return u;
}

std::set<std::string> entries(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename());
    return names;
}

// Prompts still running on this benchmark's display.
int promptsLeft(const std::string &display)
{
    int left = 0;
    for (const auto &proc : fs::directory_iterator("/proc")) {
        std::string comm;
        std::ifstream(proc.path() / "comm") >> comm;
        if (std::find(std::begin(PROMPTS), std::end(PROMPTS), comm) == std::end(PROMPTS))
            continue;
        std::ifstream environ(proc.path() / "environ");
        for (std::string var; std::getline(environ, var, '\0');)
            left += var == "DISPLAY=" + display;
    }
    return left;
}

int segmentsLeft()
{
    std::ifstream shm("/proc/sysvipc/shm");
    int lines = 0;
    for (std::string line; std::getline(shm, line);)
        ++lines;
    return std::max(lines - 1, 0);  // the header
}

double percentile(std::vector<double> ms, double p)
{
    if (ms.empty())
        return 0;
    std::sort(ms.begin(), ms.end());
    const auto rank = static_cast<size_t>(std::ceil(p * ms.size()));  // nearest rank
    return ms[std::clamp<size_t>(rank, 1, ms.size()) - 1];
}

}  // namespace

int main(int argc, char **argv)
{
    const int trips = argc > 1 ? std::atoi(argv[1]) : 20;
    if (trips < 1) {
        fprintf(stderr, "Usage: %s [TRIPS]\n", argv[0]);
        return 2;
    }
    // Segments and /tmp of the soak's own, where root may have them: other
    // work on the machine then neither meets the prompts' segment keys nor
    // counts as left behind.
    const bool isolated =
        harness::privateTmpfs("/tmp", "mode=1777") && harness::privateIpcNamespace();

    harness::XServer x;
    harness::TempDir home, prompts;
    for (const char *prompt : PROMPTS)
        fs::create_symlink(std::string(ZEF_BINARY_DIR "/") + prompt + "/" + prompt,
                           prompts.file(prompt));
    const std::string chosenDir = home.file("chosen");
    fs::create_directory(chosenDir);
    setenv("HOME", home.path().c_str(), 1);
    unsetenv("XAUTHORITY");

    const std::set<std::string> tmpBefore = entries("/tmp"), homeBefore = entries(home.path());
    std::array<std::vector<double>, KINDS> times;
    std::array<int, KINDS> failed{};
    Usage at[3];
    at[0] = usage();
    for (int trip = 0; trip < trips; ++trip) {
        if (trip == trips / 2)
            at[1] = usage();
        const int kind = trip % KINDS, prompt = kind / 4;
        const Outcome outcome = static_cast<Outcome>(kind % 4);
        // Its HOME is no desktop user's: the prompts run as we do.
        const zef_options options{getpwuid(geteuid())->pw_name, x.display().c_str(),
                                  outcome == Timeout ? TIMEOUT_MS : ANSWERED_LIMIT_MS,
                                  prompts.path().c_str(), nullptr};
        // The driver plays the user; this thread is the caller.
        std::thread driver;
        if (outcome != Timeout)
            driver = std::thread([&, prompt, outcome] {
                const pid_t pid = promptOf(PROMPTS[prompt]);
                if (pid < 0)
                    return;
                if (outcome == Killed) {
                    if (!x.waitForWindow(pid).empty())
                        kill(pid, SIGKILL);
                    return;
                }
                const std::string window = x.focusWindow(pid);
                if (!window.empty())
                    x.play(window, steps(prompt, outcome, chosenDir));
            });
        char answer[1024] = "";
        int row = -1;
        const auto start = Clock::now();
        const int result = prompt == 0   ? zef_choose_certificate(CERTS, &options, &row)
                           : prompt == 1 ? zef_ask_pin(answer, sizeof answer, &options)
                                         : zef_choose_directory(answer, sizeof answer, &options);
        times[kind].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (driver.joinable())
            driver.join();
        const std::string expected = prompt == 0 ? "1" : prompt == 1 ? "123456" : chosenDir;
        const bool right = result == EXPECTED[outcome]
                           && (outcome != Chosen || (prompt == 0 ? std::to_string(row) : answer) == expected);
        if (!right) {
            ++failed[kind];
            printf("trip %d, %s %s: result %d, %s\n", trip + 1, PROMPT_NAMES[prompt], OUTCOMES[outcome],
                   result, zef_last_error());
        }
    }
    at[2] = usage();

    printf("%d round trips on %s; timeouts after %d ms\n\n", trips, x.display().c_str(), TIMEOUT_MS);
    printf("| kind | trips | failed | median ms | p95 ms |\n|---|---:|---:|---:|---:|\n");
    int failures = 0;
    for (int kind = 0; kind < KINDS; ++kind) {
        if (times[kind].empty())
            continue;
        failures += failed[kind];
        printf("| %s %s | %zu | %d | %.0f | %.0f |\n", PROMPT_NAMES[kind / 4], OUTCOMES[kind % 4],
               times[kind].size(), failed[kind], percentile(times[kind], 0.5),
               percentile(times[kind], 0.95));
    }
    printf("\n| caller | start | middle | end |\n|---|---:|---:|---:|\n");
    printf("| RSS MB | %.1f | %.1f | %.1f |\n", at[0].rssKb / 1024.0, at[1].rssKb / 1024.0,
           at[2].rssKb / 1024.0);
    printf("| descriptors | %ld | %ld | %ld |\n\n", at[0].descriptors, at[1].descriptors,
           at[2].descriptors);

    // The toolkit and the library keep per-user state that every desktop
    // user has anyway: the toolkit's settings in ~/.config and its runtime
    // folder /tmp/runtime-USER, the library's folder of lock files
    // /tmp/zefkit-UID, where the session has no XDG_RUNTIME_DIR. Listed, but
    // not left behind by the calls.
    std::vector<std::string> leftTmp, leftHome, perUser;
    for (const std::string &name : entries("/tmp"))
        if (!tmpBefore.count(name))
            (name.rfind("runtime-", 0) == 0 || name.rfind("zefkit-", 0) == 0 ? perUser : leftTmp)
                .push_back("/tmp/" + name);
    for (const std::string &name : entries(home.path()))
        if (!homeBefore.count(name))
            (name == ".config" ? perUser : leftHome).push_back("HOME/" + name);
    const int segments = isolated ? segmentsLeft() : 0, processes = promptsLeft(x.display());
    printf("left behind: %d segments, %d prompt processes, %zu files in /tmp, %zu in HOME\n",
           segments, processes, leftTmp.size(), leftHome.size());
    for (const std::vector<std::string> *names : {&leftTmp, &leftHome})
        for (const std::string &name : *names)
            printf("  %s\n", name.c_str());
    for (const std::string &name : perUser)
        printf("  %s (per-user state of the toolkit or the library)\n", name.c_str());
    if (!isolated)
        printf("(no private /tmp and segments without root: segments are not counted, and "
               "/tmp may hold other work's files)\n");
    return failures || segments || processes || !leftTmp.empty() || !leftHome.empty() ? 1 : 0;
}
