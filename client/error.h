// Each thread's error line and kind, and the end of what its last prompt
// printed: what zef_last_error, zef_last_error_kind and zef_last_output
// tell. Every unit of the library reports through these.
#pragma once

#include <exception>
#include <string>

// Set this thread's error line and kind and return ZEF_ERROR or
// ZEF_TIMEOUT. Without a kind, the error is the system's.
int fail(int kind, const std::string &message);
int fail(const std::string &message);
int timedOut(const std::string &message);
// Keeps the end of what this thread's last prompt printed, for
// zef_last_output, and its last line that is not routine for promptSaid.
void keepOutput(const std::string &text, const std::string &lastLine);
// ": " and that last line, or nothing: for the error line of a prompt that
// ended without an answer.
std::string promptSaid();
// Gives the line that this thread's last failure set another kind.
int failKind(int kind);
// What this thread's last failure returned: ZEF_TIMEOUT or ZEF_ERROR.
int lastResult();
void clearError();
// Runs one call of the C API, whose caller no exception may reach, with
// this thread's error line cleared first.
template <typename Run> int guarded(const Run &run)
{
    clearError();
    try {
        return run();
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}
