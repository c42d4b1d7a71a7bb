#include "dialog.h"
#include "promptsetup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    setUpPrompt();
    QApplication app(argc, argv);
    Dialog dialog;
    dialog.show();
    return app.exec();
}
