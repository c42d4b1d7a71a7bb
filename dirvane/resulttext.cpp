#include "resulttext.h"

#include <cstdio>
#include <cstring>

static const char RESULT_FORMAT[] = "{\"status\":%d, \"pathName\":\"%s\"}";

bool formatResultText(char (&text)[DIR_SEGMENT_SIZE], int status, const char *pathName)
{
    memset(text, 0, sizeof text);
    int n = snprintf(text, sizeof text, RESULT_FORMAT, status, pathName);
    if (n >= 0 && static_cast<size_t>(n) < sizeof text)
        return true;
    memset(text, 0, sizeof text);
    snprintf(text, sizeof text, RESULT_FORMAT, 2, "");
    return false;
}
