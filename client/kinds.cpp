#include "kinds.h"

#include "cert.h"
#include "dir.h"
#include "kindlock.h"
#include "pin.h"
#include "sharememory.h"

const Kind KINDS[KIND_COUNT] = {
    {"tessary", false, false, prepareCertificates, CHOICE_MAX, false, refuseRow, decodeChoice,
     new Turn},
    {"quorrel", false, true, nullptr, PIN_SEGMENT_SIZE, true, refusePinBuffer, decodePin,
     new Turn},
    {"dirvane", true, false, nullptr, DIR_SEGMENT_SIZE, true, refusePathBuffer, decodeDirectory,
     new Turn},
};
