// zefcall dir: a directory choice through dirvane.
#include "zefcall.h"

int dirCommand()
{
    zef_options options;
    if (!promptOptions("dirvane", options))
        return Failed;
    // dirvane hands over at most its segment's 1024 bytes.
    char path[1024];
    const int result = zef_choose_directory(path, sizeof path, &options);
    if (result == ZEF_CANCELLED) {
        puts("Directory choice cancelled");
        return Nothing;
    }
    if (result != ZEF_CHOSEN)
        return failedCall(result);
    puts(path);
    return Done;
}
