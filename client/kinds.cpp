#include "kinds.h"

#include "cert.h"
#include "dir.h"
#include "kindlock.h"
#include "pin.h"
#include "sharememory.h"

// The program, whether it starts in its folder, whether it shows the
// message, its input; its hand-off (bytes, exactly); the answer's place and
// its decoding; its turn.
const Kind KINDS[KIND_COUNT] = {
    {"tessary", false, false, prepareCertificates, CHOICE_MAX, false, refuseRow, decodeChoice,
     new Turn},
    {"quorrel", false, true, nullptr, PIN_SEGMENT_SIZE, true, refusePinBuffer, decodePin,
     new Turn},
    {"dirvane", true, false, nullptr, DIR_SEGMENT_SIZE, true, refusePathBuffer, decodeDirectory,
     new Turn},
};
