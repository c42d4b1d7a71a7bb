#include "promptsetup.h"

#include <cstdio>
#include <cstdlib>

void setUpPrompt()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The last argument 0 keeps a value that is already there.
    setenv("QT_XCB_GL_INTEGRATION", "none", 0);
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 0);
}
