#include "dialog.h"
#include "promptsetup.h"

#include <QApplication>

#include <sys/prctl.h>
#include <sys/resource.h>

int main(int argc, char *argv[])
{
    // The PIN lives in this process's memory while it is typed: no core file
    // may keep it, and no other process of the user may read it through
    // ptrace or /proc (a non-dumpable process's entries there are root's).
    // Both before the toolkit holds any input; the core limit hard and soft,
    // so that nothing in the process can raise it again.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    setUpPrompt();
    QApplication app(argc, argv);
    setUpPromptApplication();
    Dialog dialog;
    dialog.show();
    return app.exec();
}
