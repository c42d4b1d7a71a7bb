// The baseline of the certificate chooser and the PIN prompt: the least a
// Qt widget prompt does, a dialog with a label, a password field and two
// buttons, shown and left to the event loop.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QDialog dialog;
    QLabel label(QStringLiteral("PIN:"), &dialog);
    QLineEdit field(&dialog);
    field.setEchoMode(QLineEdit::Password);
    field.move(60, 0);
    QPushButton ok(QStringLiteral("OK"), &dialog);
    ok.move(60, 40);
    QPushButton cancel(QStringLiteral("Cancel"), &dialog);
    cancel.move(160, 40);
    dialog.show();
    return app.exec();
}
