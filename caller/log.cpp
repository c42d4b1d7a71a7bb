// zefcall log LEVEL MESSAGE: one record through libzeflog.
//
// The library is loaded at run time by its soname, as a service that can
// run without it would do. Whether the record is kept is decided by the
// flag files in the log directory, and the library reports nothing back:
// its own lines ("zef_log_open finished " and the like) are all there is.
#include "zefcall.h"

#include "zeflog.h"

#include <dlfcn.h>
#include <strings.h>

namespace {

// Indexed by level value, from the most to the least severe.
const char *const LEVELS[] = {"crit", "error", "warning", "notice", "info", "debug"};
static_assert(sizeof LEVELS / sizeof *LEVELS == ZEF_LOG_NUM, "one name per level");

// A level by its name (any case) or its number.
bool parseLevel(const std::string &text, unsigned &level)
{
    for (unsigned i = 0; i < ZEF_LOG_NUM; ++i) {
        if (strcasecmp(text.c_str(), LEVELS[i]) == 0 || text == std::to_string(i)) {
            level = i;
            return true;
        }
    }
    return false;
}

}  // namespace

int logCommand(const char *levelText, const char *message)
{
    unsigned level = 0;
    if (!parseLevel(levelText, level))
        return fail(std::string("unknown level \"") + levelText +
                    "\"; use crit, error, warning, notice, info, debug or 0 to 5");

    void *library = dlopen("libzeflog.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return fail(std::string("cannot load the log library: ") + dlerror());
    const auto logOpen = reinterpret_cast<decltype(&zef_log_open)>(dlsym(library, "zef_log_open"));
    const auto logWrite = reinterpret_cast<decltype(&zef_write_log)>(dlsym(library, "zef_write_log"));
    const auto logClose = reinterpret_cast<decltype(&zef_log_close)>(dlsym(library, "zef_log_close"));
    if (!logOpen || !logWrite || !logClose) {
        const char *error = dlerror();
        const std::string wrong = std::string("not the log library: ") +
                                  (error ? error : "a function is missing");
        dlclose(library);
        return fail(wrong);
    }

    logOpen();
    logWrite(level, 1, message);
    logClose();
    dlclose(library);
    return Done;
}
