// The baseline of the directory chooser: the toolkit's file dialog in
// directory mode, run modally, nothing else.
#include <QApplication>
#include <QFileDialog>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QFileDialog dialog;
    dialog.setFileMode(QFileDialog::Directory);
    return dialog.exec();
}
