#include "dirdialog.h"
#include "promptsize.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHeaderView>
#include <QIcon>
#include <QCompleter>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QScrollBar>
#include <QSplitter>
#include <QString>
#include <QStyle>
#include <QTreeView>

#include <algorithm>
#include <unistd.h>

namespace {

// The stock dialog keeps its columns and sidebar at what a 96 dpi font
// needs, and its first size barely grows with the font: at larger fonts the
// names in the sidebar and the columns of the detail view were cut. Each
// gets the room its longest text needs in the dialog's font, and the window
// the room for all of them, at least its 96 dpi size grown with the font.
void _growWithTheFont(QFileDialog &dialog)
{
    QSplitter *splitter = dialog.findChild<QSplitter *>(QStringLiteral("splitter"));
    QListView *sidebar = dialog.findChild<QListView *>(QStringLiteral("sidebar"));
    QTreeView *tree = dialog.findChild<QTreeView *>(QStringLiteral("treeView"));
    if (!splitter || !sidebar || !tree)
        return;
    const QFontMetrics fm(tree->font());
    // Room around a cell's text: the focus frame's margin on either side.
    const int padding =
        2 * (tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1) +
        fm.averageCharWidth();
    const int icon = tree->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, tree);
    // The widest texts each column shows: a name of some length, a size, a
    // type, and a late date and time in the system's short format, which the
    // model shows.
    const QString samples[] = {
        QString(20, QLatin1Char('x')),
        QStringLiteral("1023.99 KiB"),
        QStringLiteral("mp3 Folder"),
        QLocale::system().toString(QDateTime(QDate(2000, 12, 28), QTime(23, 58, 58)),
                                   QLocale::ShortFormat),
    };
    QHeaderView *header = tree->header();
    int treeWidth = 2 * tree->frameWidth() + tree->verticalScrollBar()->sizeHint().width();
    for (int column = 0; column < 4 && column < header->count(); ++column) {
        int width = fm.boundingRect(samples[column]).width() + padding;
        if (column == 0)
            width += icon + padding;
        width = std::max(width, header->sectionSizeHint(column));
        header->resizeSection(column, width);
        treeWidth += width;
    }
    const int sidebarWidth = sidebar->sizeHintForColumn(0) + 2 * sidebar->frameWidth() + padding;
    splitter->setSizes({sidebarWidth, treeWidth});

    int margins = 0;
    if (const QLayout *layout = dialog.layout())
        margins = layout->contentsMargins().left() + layout->contentsMargins().right();
    const QSize needed(margins + sidebarWidth + splitter->handleWidth() + treeWidth, 0);
    const QSize designed(scaledToFont(&dialog, 624), scaledToFont(&dialog, 412));
    QSize size = designed.expandedTo(needed);
    // Never larger than the screen the user is on: the window can still be
    // made larger, or its columns narrower.
    const QRect area = pointerScreenArea();
    if (area.isValid())
        size = size.boundedTo(area.size());
    dialog.resize(size.expandedTo(dialog.minimumSizeHint()));
    centreOnPointerScreen(&dialog);
}

}  // namespace

void setUpDirDialog(QFileDialog &dialog, bool translated)
{
    // As root the dialog is read-only (below), which a desktop's own dialog,
    // one that a platform theme brings, cannot be made: the toolkit's is
    // used then. Set first, before the widgets it decides on are set up.
    if (geteuid() == 0)
        dialog.setOption(QFileDialog::DontUseNativeDialog);
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
    _growWithTheFont(dialog);
#if QT_VERSION >= QT_VERSION_CHECK(5, 7, 0)
    // The path's completions are offered in the field itself: a list popping
    // up under it takes the keyboard, and Qt 5.15's ibus input context
    // converts nothing more once it has (no Chinese in the path after a
    // first completion). Qt 5.6 keeps its list: its inline completion
    // appends the folder's slash, and Return then opens the folder instead
    // of choosing it.
    if (QLineEdit *path = dialog.findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
        if (QCompleter *completer = path->completer())
            completer->setCompletionMode(QCompleter::InlineCompletion);
    }
#endif
}
