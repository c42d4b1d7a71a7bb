// tessary: lets the user choose one certificate from the table that the
// calling service prepared, and leaves the chosen row in ~/.certlistindex
// (or in the descriptor that libzefclient handed it).
#include "dialog.h"
#include "promptsetup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    setUpPrompt();
    QApplication a(argc, argv);
    setUpPromptApplication();
    Dialog w;
    w.show();
    return a.exec();
}
