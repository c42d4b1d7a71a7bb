#include "settings.h"

#include "error.h"

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>

namespace {

// The installation's bin/ folder, found from where this library was loaded:
// the kit is installed as a whole, anywhere.
std::string installedPromptDir()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&zef_last_error), &info) || !info.dli_fname)
        return {};
    std::error_code ec;
    const std::filesystem::path library = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::string()
              : (library.parent_path() / ZEF_BINDIR_FROM_LIBDIR).lexically_normal().string();
}

}  // namespace

bool prepareCall(const zef_options *options, Call &call)
{
    const zef_options none{};
    const zef_options &o = options ? *options : none;
    keepOutput({}, {});
    if (o.timeout_ms < 0) {
        fail(ZEF_E_INPUT, "timeout_ms must not be negative");
        return false;
    }
    call.timeoutMs = o.timeout_ms;
    if (o.timeout_ms > 0)
        call.deadline = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
    const char *display = o.display && *o.display ? o.display : getenv("DISPLAY");
    call.display = display ? display : "";
    // Absolute: dirvane starts in this folder, and its path must still hold
    // there.
    std::error_code ec;
    call.promptDir = o.prompt_dir && *o.prompt_dir
                         ? std::filesystem::absolute(o.prompt_dir, ec).string()
                         : installedPromptDir();
    if (call.promptDir.empty()) {
        fail(ZEF_E_PROMPT, "cannot tell where the prompts are installed: name their folder");
        return false;
    }
    call.message = o.message ? o.message : "";
    call.userName = o.user ? o.user : "";
    return true;
}
