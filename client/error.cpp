#include "error.h"

#include "zefkit/zefclient.h"

namespace {

thread_local std::string t_error;
thread_local std::string t_output;
thread_local std::string t_lastLine;
thread_local int t_errorKind = ZEF_E_NONE;

}  // namespace

int fail(int kind, const std::string &message)
{
    t_error = message;
    t_errorKind = kind;
    return kind == ZEF_E_TIMEOUT ? ZEF_TIMEOUT : ZEF_ERROR;
}

int fail(const std::string &message)
{
    return fail(ZEF_E_SYSTEM, message);
}

int timedOut(const std::string &message)
{
    return fail(ZEF_E_TIMEOUT, message);
}

int failKind(int kind)
{
    t_errorKind = kind;
    return ZEF_ERROR;
}

int lastResult()
{
    return t_errorKind == ZEF_E_TIMEOUT ? ZEF_TIMEOUT : ZEF_ERROR;
}

void clearError()
{
    t_error.clear();
    t_errorKind = ZEF_E_NONE;
}

void keepOutput(const std::string &text, const std::string &lastLine)
{
    t_output = text;
    t_lastLine = lastLine;
}

std::string promptSaid()
{
    return t_lastLine.empty() ? std::string() : ": " + t_lastLine;
}

extern "C" const char *zef_last_error(void)
{
    return t_error.c_str();
}

extern "C" const char *zef_last_output(void)
{
    return t_output.c_str();
}

extern "C" int zef_last_error_kind(void)
{
    return t_errorKind;
}
