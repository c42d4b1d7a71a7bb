// The private channel of one call: descriptors that its prompt inherits for
// its result and, for the chooser, its two lists, named to it in its
// environment. Nobody but the prompt and the caller holds them, so no other
// user can block, read, erase or plant an answer, and two calls never share
// one. The bytes are those of the segment or the file that a prompt started
// without them uses.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The descriptors beside 0 to 2 that a prompt may be given, from KEPT_FD
// on: the X authority, the call's result, the chooser's two lists.
constexpr int KEPT_FD = 3;
enum Kept { KeptXauthority, KeptResult, KeptCertColumn, KeptCertList, KEPT_COUNT };

class Channel {
public:
    Channel() = default;
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;
    // Wipes what the prompt handed over, which may be the PIN's ciphertext.
    ~Channel();

    // Makes the empty result descriptor; false, reported, when it cannot be.
    bool open();
    // One of the chooser's lists (KeptCertColumn, KeptCertList), sealed so
    // that it stays as written; false, reported.
    bool give(Kept which, const std::string &bytes);
    // Into the prompt's environment: the variables that name them.
    void name(std::vector<std::string> &env) const;
    // The descriptors the prompt gets (the X authority's place empty).
    const int (&fds() const)[KEPT_COUNT] { return m_fds; }

    // How many bytes the prompt handed over.
    size_t handed() const;
    // The first size bytes of them into out; false, reported, when they
    // cannot be read.
    bool take(void *out, size_t size) const;

private:
    int m_fds[KEPT_COUNT] = {-1, -1, -1, -1};
};
