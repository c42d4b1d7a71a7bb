// The C API: each kind's calls, on the one start and finish of call.h.
#include "call.h"
#include "error.h"

extern "C" int zef_start_certificate(const char *certificates_json, const zef_options *options,
                                     zef_call **call)
{
    return guarded([&] { return startCall(KINDS[Certificate], certificates_json, options, call); });
}

extern "C" int zef_finish_certificate(zef_call *call, int *row)
{
    return guarded([&] { return finishCall(KINDS[Certificate], call, {nullptr, 0, row}); });
}

extern "C" int zef_choose_certificate(const char *certificates_json,
                                      const zef_options *options, int *row)
{
    return guarded(
        [&] { return askCall(KINDS[Certificate], certificates_json, options, {nullptr, 0, row}); });
}

extern "C" int zef_start_pin(const zef_options *options, zef_call **call)
{
    return guarded([&] { return startCall(KINDS[Pin], nullptr, options, call); });
}

extern "C" int zef_finish_pin(zef_call *call, char *pin, size_t size)
{
    return guarded([&] { return finishCall(KINDS[Pin], call, {pin, size, nullptr}); });
}

extern "C" int zef_ask_pin(char *pin, size_t size, const zef_options *options)
{
    return guarded([&] { return askCall(KINDS[Pin], nullptr, options, {pin, size, nullptr}); });
}

extern "C" int zef_start_directory(const zef_options *options, zef_call **call)
{
    return guarded([&] { return startCall(KINDS[Directory], nullptr, options, call); });
}

extern "C" int zef_finish_directory(zef_call *call, char *path, size_t size)
{
    return guarded([&] { return finishCall(KINDS[Directory], call, {path, size, nullptr}); });
}

extern "C" int zef_choose_directory(char *path, size_t size, const zef_options *options)
{
    return guarded(
        [&] { return askCall(KINDS[Directory], nullptr, options, {path, size, nullptr}); });
}

extern "C" int zef_call_fd(const zef_call *call)
{
    return call ? call->readyFd() : -1;
}

extern "C" void zef_cancel(zef_call *call)
{
    if (call)
        call->cancel();
}
