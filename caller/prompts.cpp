// Where zefcall finds the prompts, and the options of every call.
#include "zefcall.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

// Set once from the command line, for every call.
zef_options g_options;

bool promptOptions(const char *name, zef_options &options)
{
    std::error_code ec;
    std::vector<fs::path> folders;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        folders.push_back(self.parent_path());
    // An empty PATH entry means the current folder.
    std::istringstream path(getenv("PATH") ? getenv("PATH") : "");
    for (std::string folder; std::getline(path, folder, ':');)
        folders.push_back(folder.empty() ? "." : folder);

    // Kept for the call that follows.
    static std::string found;
    for (const fs::path &folder : folders) {
        const fs::path candidate = fs::absolute(folder / name, ec);
        if (!ec && fs::is_regular_file(candidate, ec) && access(candidate.c_str(), X_OK) == 0) {
            found = candidate.parent_path();
            options = g_options;
            options.prompt_dir = found.c_str();
            return true;
        }
    }
    fail(std::string(name) + " not found beside zefcall or on PATH");
    return false;
}
