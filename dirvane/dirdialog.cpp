#include "dirdialog.h"

#include <QFileDialog>
#include <QIcon>
#include <QString>

#include <unistd.h>

void setUpDirDialog(QFileDialog &dialog, bool translated)
{
    // Above every window, and still a dialog to the window manager.
    dialog.setWindowFlags(dialog.windowFlags() | Qt::WindowStaysOnTopHint);
    Q_INIT_RESOURCE(dirvane);
    dialog.setWindowIcon(QIcon(QStringLiteral(":/icons/dirvane.png")));
    dialog.setWindowTitle(QString::fromUtf8("选择一个目录"));
    dialog.setDirectory(QStringLiteral("/home"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setViewMode(QFileDialog::Detail);
    if (translated)
        dialog.setLabelText(QFileDialog::Reject, QString::fromUtf8("取消"));
    if (geteuid() == 0)
        dialog.setOption(QFileDialog::ReadOnly);
}
