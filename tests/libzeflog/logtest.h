// Fixture for the log library copy that logs into the build tree
// (ZEF_TEST_LOG_DIR) and finds its stamp file beside the test executable.
#pragma once

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace logtest {

std::string logPath(const std::string &name);  // a file in the log directory
std::string logFile();                         // VantrelZEF.log
std::string oldLogFile();                      // VantrelZEF-old.log
std::string stampFile();                       // config/logmaxage beside the executable

// Puts the stamp in place with a rename, so that a library reading it
// at the same time sees the old or the new text, never a torn one.
void writeStamp(const std::string &text);
long long now();
// Local time stamp as the library writes it.
std::string timeStamp(long long when);

// A fresh, empty log directory without flag files, no stamp file, and the
// library open; everything is removed again afterwards.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void flag(const char *name);  // "zefdebugflag" or "zeferrflag"
};

// Messages of the concurrency tests: fixed width, so a torn or merged line
// cannot pass for a whole one.
std::string record(int writer, int seq);
// Writes records 0 to count - 1 of the writer.
void writeRecords(int writer, int count);
// Every line is a whole [INFO] record with a header and each (writer, seq)
// with seq below counts[writer] appears exactly once.
void expectRecords(const std::vector<std::string> &lines, const std::vector<int> &counts);

}  // namespace logtest
