// The prompt's output, drained and its end kept.
#include "promptoutput.h"

#include <cerrno>
#include <fcntl.h>
#include <fnmatch.h>
#include <sstream>
#include <unistd.h>

namespace {

// What a prompt prints in every ordinary run (fnmatch patterns; no prompt:
// any of them), which never tells why a run failed or timed out.
const struct {
    const char *prompt;
    const char *pattern;
} ROUTINE_LINES[] = {
    {"quorrel", "ENOENT"},                // no PIN segment left from an earlier run
    {"dirvane", "ENOENT"},                // no result segment left either
    {"dirvane", "p:*"},                   // the result it hands over
    {"dirvane", "中文系统"},              // it loads the Chinese texts
    {"tessary", "filePath:*"},            // each of its files, as it opens it
    {"tessary", "CurrentSelectedRow:*"},  // each click in the table
    // The toolkit's notes on its runtime folder, fonts and X errors of its
    // own making.
    {nullptr, "QStandardPaths: *"},
    {nullptr, "Fontconfig *"},
    {nullptr, "*QXcbConnection: XCB error: *"},
};

bool routine(const std::string &prompt, const std::string &line)
{
    for (const auto &r : ROUTINE_LINES) {
        if ((!r.prompt || prompt == r.prompt) && fnmatch(r.pattern, line.c_str(), 0) == 0)
            return true;
    }
    return false;
}

}  // namespace

PromptOutput::~PromptOutput()
{
    closeWriteEnd();
    if (m_read >= 0)
        close(m_read);
}

bool PromptOutput::open()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    m_read = ends[0];
    m_write = ends[1];
    return fcntl(m_read, F_SETFL, O_NONBLOCK) == 0;
}

void PromptOutput::closeWriteEnd()
{
    if (m_write >= 0)
        close(m_write);
    m_write = -1;
}

bool PromptOutput::drain()
{
    char buffer[4096];
    for (int reads = 0; m_read >= 0 && reads < 16; ++reads) {
        const ssize_t got = read(m_read, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return true;
        if (got <= 0) {
            close(m_read);
            m_read = -1;
            break;
        }
        // The lines end up on the service's terminal or in its log, where a
        // prompt of another user must not place escape sequences.
        for (ssize_t i = 0; i < got; ++i) {
            const unsigned char c = static_cast<unsigned char>(buffer[i]);
            m_text += (c < 0x20 && c != '\n' && c != '\t') || c == 0x7F ? '?' : static_cast<char>(c);
        }
        if (m_text.size() > KEPT) {
            // Whole lines only, where there is a line feed to cut at.
            size_t cut = m_text.size() - KEPT;
            const size_t feed = m_text.find('\n', cut);
            if (feed != std::string::npos && feed + 1 < m_text.size())
                cut = feed + 1;
            m_text.erase(0, cut);
        }
    }
    return m_read >= 0;
}

std::string PromptOutput::lastLine(const std::string &prompt) const
{
    std::istringstream lines(m_text);
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && !routine(prompt, line))
            last = line;
    }
    return last;
}
