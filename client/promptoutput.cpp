// The prompt's output, drained and its end kept.
#include "promptoutput.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

std::string PromptOutput::lastLine() const
{
    const size_t end = m_text.find_last_not_of('\n');
    if (end == std::string::npos)
        return {};
    const size_t start = m_text.rfind('\n', end);
    return m_text.substr(start == std::string::npos ? 0 : start + 1,
                         end - (start == std::string::npos ? 0 : start + 1) + 1);
}
