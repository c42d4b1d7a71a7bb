// What the tests expect of the result segments, written out here once rather
// than taken from the code under test.
#pragma once

#include "sharememory.h"

#include <string>

// The hand-off's lines for a leftover it may not touch, and for one smaller
// than the payload.
inline const std::string EACCES_LINE =
    "The user does not have permission to access the shared memory segment, and does not "
    "have the CAP_IPC_OWNER capability\n";
inline const std::string EINVAL_LINE =
    "A new segment was to be created and size < SHMMIN or size > SHMMAX, or no new segment "
    "was to be created, a segment with given key existed, but size is greater than the size "
    "of that seg\xE2\x80\x90ment.\n";

// A result segment's mode: its creator's alone, unless the kit is built
// for a calling service under a third user id.
#ifdef ZEF_SEGMENTS_FOR_ALL
constexpr unsigned RESULT_MODE = 0666;
#else
constexpr unsigned RESULT_MODE = 0600;
#endif

// The directory chooser's result when nothing was chosen.
inline const std::string CANCELLED = "{\"status\":2, \"pathName\":\"\"}";

// A whole directory result segment: the text, then zero bytes up to its end.
inline std::string padded(const std::string &text)
{
    return text + std::string(DIR_SEGMENT_SIZE - text.size(), '\0');
}
