// The certificate chooser's half of the protocol: its two lists in, its
// choice out.
#pragma once

#include "answer.h"
#include "zefkit/zefclient.h"

// The longest choice read: "-1" or at most 9 digits, and room to tell that
// there was more.
constexpr size_t CHOICE_MAX = 16;

// The chooser's lists from the caller's JSON (see zef_choose_certificate):
// ZEF_CHOSEN, else ZEF_ERROR, reported (ZEF_E_INPUT).
int prepareCertificates(const char *json, Request &request);
std::string refuseRow(const Answer &answer);
// The choice: "-1" (none) or a row of the request's certificates.
int decodeChoice(const std::string &handed, const Request &request, const Answer &answer);

// One pass of percent-encoding: every byte but ASCII letters, digits and
// -_.!~*'() becomes %XX.
std::string percentEncode(const std::string &text);
