// What a call takes from its caller beside the options, and where its
// answer goes: the terms in which each kind prepares its prompt's input and
// decodes its answer (kinds.h).
#pragma once

#include <cstddef>
#include <string>

// What a call hands its prompt: the chooser's two lists, as the chooser
// reads them, and how many certificates they hold. Empty for the others.
struct Request {
    std::string columnFile, listFile;
    int certificates = 0;
};

// Where the caller wants the answer: a buffer of size bytes (the PIN, the
// path) or a row.
struct Answer {
    char *text = nullptr;
    size_t size = 0;
    int *row = nullptr;
};
