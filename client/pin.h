// The PIN prompt's half of the protocol: the PIN block it hands over,
// encrypted under the kit's key, decrypted and checked.
#pragma once

#include "answer.h"
#include "sharememory.h"
#include "zefkit/zefclient.h"

std::string refusePinBuffer(const Answer &answer);
// The PIN, in UTF-8, when it is one that the prompt lets a user type.
// Handed is a whole segment (or nothing: cancelled).
int decodePin(const std::string &handed, const Request &, const Answer &answer);

// Decrypts what the PIN prompt handed over (the bytes of its segment) under
// the shared key into pin: the Latin-1 bytes before the first zero,
// NUL-terminated. False, with pin all zero, when the bytes are not a PIN
// block and its padding block under that key.
bool decryptPin(const unsigned char (&handed)[PIN_SEGMENT_SIZE], char (&pin)[PIN_BLOCK_SIZE + 1]);
