// tessary: lets the user choose one certificate from the table that the
// calling service prepared, and leaves the chosen row in ~/.certlistindex.
#include "dialog.h"
#include "glintegration.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // The calling service reads our lines through a pipe: each one leaves as
    // soon as it is printed, whichever way the process ends.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    turnOffGlIntegration();
    QApplication a(argc, argv);
    Dialog w;
    w.show();
    return a.exec();
}
