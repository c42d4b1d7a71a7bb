// What a prompt prints, on its standard output and error, taken through a
// pipe that the library drains while the prompt runs: its last lines are
// kept for the caller, so that a prompt's complaint ("shmget fail", a
// toolkit error) reaches whoever integrates it.
#pragma once

#include <cstddef>
#include <string>

class PromptOutput {
public:
    // At most this much of the end of the output is kept.
    static constexpr size_t KEPT = 4096;

    PromptOutput() = default;
    PromptOutput(const PromptOutput &) = delete;
    PromptOutput &operator=(const PromptOutput &) = delete;
    ~PromptOutput();

    // Makes the pipe; false, with errno set, when that fails.
    bool open();
    // The end that the prompt writes to, to be closed once it has it.
    int writeEnd() const { return m_write; }
    void closeWriteEnd();
    // The end that is read, non-blocking, for poll; -1 once the prompt and
    // whatever it started have closed theirs.
    int fd() const { return m_read; }
    // Reads what is there now, up to a pipe's worth (64 KiB), without
    // waiting, so that a prompt printing without pause cannot keep its
    // waiter from a deadline. False once the pipe is closed at the other
    // end.
    bool drain();

    // The kept text, control characters but tab and line feed shown as '?'.
    const std::string &text() const { return m_text; }
    // Its last line that is neither empty nor one that the prompt called
    // prompt prints in every ordinary run, or an empty text.
    std::string lastLine(const std::string &prompt) const;

private:
    int m_read = -1;
    int m_write = -1;
    std::string m_text;
};
