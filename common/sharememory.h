// Hand-off of a prompt's result to the calling service through a System V
// shared-memory segment of fixed key and size.
#pragma once

#include <cstddef>
#include <sys/types.h>

// The PIN prompt's result: the SM4 ciphertext of the PIN block (the PIN's
// Latin-1 bytes, zero-filled behind them) and of one padding block.
constexpr key_t PIN_SEGMENT_KEY = 18945;
constexpr size_t PIN_SEGMENT_SIZE = 48;
constexpr size_t PIN_BLOCK_SIZE = 32;
// The directory chooser's result: a NUL-terminated JSON text.
constexpr key_t DIR_SEGMENT_KEY = 18991;
constexpr size_t DIR_SEGMENT_SIZE = 1024;

// Removes a segment that an earlier run left under key.
void removeShareMemory(key_t key, size_t size);
// Creates (or opens) the segment, copies exactly size bytes, detaches; a
// segment that another user created is left untouched. Returns true when
// the whole payload is in the segment.
bool copyToShareMemory(key_t key, const void *data, size_t size);
