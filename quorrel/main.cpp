#include "dialog.h"
#include "glintegration.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    turnOffGlIntegration();
    QApplication app(argc, argv);
    Dialog dialog;
    dialog.show();
    return app.exec();
}
