// The three kinds of call, one row each: the prompt program, how its answer
// comes back in the call's channel and how that is decoded into the
// caller's buffer. Every kind's call goes through the same start and
// finish (call.h).
#pragma once

#include "answer.h"

class Turn;

struct Kind {
    const char *program;
    // dirvane loads its Chinese texts from translations/ in its working
    // folder, which the installation puts beside the program; the others
    // start in their user's home.
    bool startsInItsFolder;
    bool showsMessage;  // the options' message is given to it
    // The caller's input made into the prompt's (the certificate list), or
    // null for none: ZEF_CHOSEN, else ZEF_ERROR, reported (ZEF_E_INPUT).
    int (*prepare)(const char *input, Request &request);
    // The hand-off: the prompt writes its answer to the call's result
    // descriptor, exactly handOff bytes (its segment's fixed size) or any
    // number, of which no more than handOff are read.
    size_t handOff;
    bool exactly;
    // What is wrong with answer as a place for this kind's answer; empty
    // when it will do. A call is refused before any prompt is shown.
    std::string (*refuse)(const Answer &answer);
    // Decodes what the prompt handed over (nothing: an empty text) into
    // answer: ZEF_CHOSEN, ZEF_CANCELLED or ZEF_ERROR, reported.
    int (*decode)(const std::string &handed, const Request &request, const Answer &answer);
    // Whose turn it is among this process's calls of the kind; never
    // destroyed (see Turn).
    Turn *turn;
};

enum KindIndex { Certificate, Pin, Directory, KIND_COUNT };
extern const Kind KINDS[KIND_COUNT];
