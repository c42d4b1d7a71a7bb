/* A property that fails aborts, which libFuzzer reports as a finding with
 * the input that broke it. */
#ifndef ZEF_FUZZCHECK_H
#define ZEF_FUZZCHECK_H

#include <stdlib.h>

static inline void check(int ok)
{
    if (!ok)
        abort();
}

#endif
