// The directory chooser's half of the protocol: the result text it hands
// over.
#pragma once

#include "answer.h"
#include "zefkit/zefclient.h"

std::string refusePathBuffer(const Answer &answer);
// The chosen path into the answer's buffer; handed is the whole segment's
// text, NUL-terminated (or nothing: dirvane failed).
int decodeDirectory(const std::string &handed, const Request &, const Answer &answer);

// The directory chooser's result text, {"status":N, "pathName":"..."}. The
// path goes in unescaped, so a quote or backslash in it makes the text
// invalid JSON: it is read by its fixed shape instead, the path being all
// that lies between the fixed prefix and the final "}.
struct DirResult {
    int status = 0;
    std::string path;
};
bool parseDirResult(const std::string &text, DirResult &result);
