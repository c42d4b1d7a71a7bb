#include "dialog.h"
#include "ui_dialog.h"

#include "certlist.h"
#include "handoff.h"
#include "homefile.h"
#include "promptsize.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QTableWidgetItem>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

const int kPathSize = 256;

// HOME/name into path. A path that does not fit is refused rather than cut:
// a cut path would name some other file.
bool _homeFilePath(char (&path)[kPathSize], const char *name)
{
    const char *home = getenv("HOME");
    if (!home) {
        puts("get HOME env  error");
        return false;
    }
    memset(path, 0, sizeof path);
    const int length = snprintf(path, sizeof path, "%s/%s", home, name);
    if (length < 0 || length >= kPathSize) {
        puts("HOME path too long");
        return false;
    }
    printf("filePath:%s\n", path);
    return true;
}

// Reads one of the two input files whole, up to its first NUL byte. Every
// failure is reported on stdout and gives false.
bool _readDataFile(const char *name, std::string &stored)
{
    const int handed = handedDescriptor(strcmp(name, ".certInfoColumn") == 0
                                            ? CERT_COLUMN_FD_VARIABLE : CERT_LIST_FD_VARIABLE);
    if (handed != NOT_HANDED)
        return handed >= 0 && readHanded(handed, CERT_FILE_MAX_SIZE, stored);
    char path[kPathSize];
    if (!_homeFilePath(path, name))
        return false;

    int fd = -1;
    size_t length = 0;
    switch (openHomeFileToRead(path, CERT_FILE_MAX_SIZE, fd, length)) {
    case HomeFileOpen::Opened:
        break;
    case HomeFileOpen::Failed:
        printf("fopen %s fail\n", path);
        return false;
    case HomeFileOpen::NotRegular:
        // Only a regular file has a length that seeking would find.
        printf("fseek %s fail\n", path);
        return false;
    case HomeFileOpen::TooLarge:
        printf("file too large: %s\n", path);
        return false;
    }

    // Zero-filled, so that a short read still leaves a terminated text.
    char *buffer = static_cast<char *>(calloc(length + 1, 1));
    if (!buffer) {
        puts("malloc fail");
        close(fd);
        return false;
    }
    // A short or failed read just ends the text early.
    int error = 0;
    readHomeFileBytes(fd, buffer, length, error);
    close(fd);
    stored = buffer;
    free(buffer);
    return true;
}

// The text of row's first cell for the line under the table. A subject has
// no spaces: a zero-width space after each comma lets it wrap between its
// parts instead of running off the window's edge.
QString _firstCellText(const QTableWidget *table, int row)
{
    const QTableWidgetItem *item = row >= 0 ? table->item(row, 0) : nullptr;
    if (!item)
        return QString();
    QString text = item->text();
    return text.replace(QLatin1Char(','), QStringLiteral(",\u200B"));
}

void _writeIndexFile(int row)
{
    char text[64];
    memset(text, 0, sizeof text);
    const int length = snprintf(text, sizeof text, "%d", row);
    const int handed = handedDescriptor(RESULT_FD_VARIABLE);
    if (handed != NOT_HANDED) {
        if (handed >= 0)
            replaceHanded(handed, text, static_cast<size_t>(length));
        return;
    }
    char path[kPathSize];
    if (!_homeFilePath(path, ".certlistindex"))
        return;
    // Not through a link, and into no file with a second name: the user's
    // home is the user's, and the chooser may run with more rights.
    const int fd = openHomeFileToWrite(path);
    FILE *file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
        if (fd >= 0)
            close(fd);
        printf("fopen %s fail\n", path);
        return;
    }
    const bool written = fwrite(text, 1, static_cast<size_t>(length), file) ==
                         static_cast<size_t>(length);
    // A lost write leaves an empty or cut number behind; at least say so.
    if (fclose(file) != 0 || !written)
        printf("fwrite %s fail\n", path);
}

}  // namespace

Dialog::Dialog(QWidget *parent)
    : QDialog(parent), ui(new Ui_Dialog), m_nSelectedRow(-1), m_nRowCount(0)
{
    ui->setupUi(this);
    setWindowTitle(tr("请选择您要用的证书"));
    // Above every window, and still a dialog to the window manager (not an
    // application window that a tiling one would tile); a window of fixed
    // size offers no minimize or maximize.
    setWindowFlags((windowFlags() | Qt::WindowStaysOnTopHint) & ~Qt::WindowMinMaxButtonsHint);
    Q_INIT_RESOURCE(tessary);
    setWindowIcon(QIcon(QStringLiteral(":/icons/tessary.png")));

    connect(ui->pushButton, SIGNAL(clicked()), this, SLOT(ClickButton1()));
    connect(ui->tableWidget, SIGNAL(cellClicked(int,int)), this, SLOT(onClickTable(int,int)));
    connect(this, SIGNAL(sendCurrentSelectedRow(int)), this, SLOT(onCurrentSelectedRow(int)));
    connect(ui->pushButton_2, SIGNAL(clicked()), this, SLOT(ClickButton2()));
    // The row that OK records is the selected one, whichever way it was
    // selected; a double-click on a row accepts it at once.
    connect(ui->tableWidget->selectionModel(),
            SIGNAL(selectionChanged(QItemSelection,QItemSelection)), this,
            SLOT(onTableSelectionChanged()));
    connect(ui->tableWidget, SIGNAL(cellDoubleClicked(int,int)), this, SLOT(ClickButton1()));
    ui->tableWidget->installEventFilter(this);

    initTableWidget();

    // The line under the table gets the room of the longest first cell, so
    // that no later selection finds it too small; then it shows the selected
    // one.
    QString longest;
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
        const QString text = _firstCellText(ui->tableWidget, row);
        if (text.size() > longest.size())
            longest = text;
    }
    ui->label->setText(longest);
    fixWindowSize(this, QSize(570, 320));
    centreOnPointerScreen(this);
    ui->label->setText(_firstCellText(ui->tableWidget, m_nSelectedRow));
}

Dialog::~Dialog()
{
    delete ui;
}

void Dialog::ClickButton1()
{
    printf("CurrentSelectedRow:%d\n", m_nSelectedRow);
    _writeIndexFile(m_nSelectedRow);
    exit(0);
}

void Dialog::ClickButton2()
{
    exit(0);
}

void Dialog::onClickTable(int nRow, int nCol)
{
    // Column 2 becomes current where there is one; in a narrower table
    // making a missing cell current would clear the clicked row's selection.
    QTableWidget *table = ui->tableWidget;
    table->setCurrentCell(nRow, table->columnCount() > 2 ? 2 : nCol);
    emit sendCurrentSelectedRow(nRow);
}

void Dialog::onCurrentSelectedRow(int nRow)
{
    m_nSelectedRow = nRow;
    // The recorded certificate in full, for eyes and for screen readers.
    const QTableWidgetItem *item = nRow >= 0 ? ui->tableWidget->item(nRow, 0) : nullptr;
    ui->tableWidget->setAccessibleDescription(item ? item->text() : QString());
    ui->label->setText(_firstCellText(ui->tableWidget, nRow));
}

void Dialog::onTableSelectionChanged()
{
    QTableWidget *table = ui->tableWidget;
    const QModelIndexList selected = table->selectionModel()->selectedIndexes();
    if (!selected.isEmpty()) {
        emit sendCurrentSelectedRow(selected.first().row());
        return;
    }
    // Ctrl+Space, or a move with Ctrl held, would leave the highlight on no
    // row while OK stays enabled, and OK would then write a cancellation:
    // the current row is selected again, so that OK writes the row the user
    // sees.
    const int row = table->currentRow() >= 0 ? table->currentRow() : m_nSelectedRow;
    if (row >= 0 && row < table->rowCount())
        table->selectRow(row);
    else
        emit sendCurrentSelectedRow(-1);
}

bool Dialog::eventFilter(QObject *watched, QEvent *event)
{
    // In a table of whole rows, Home and End go to the first and the last
    // row; the table's own keys would move between the columns of the row.
    QTableWidget *table = ui->tableWidget;
    if (watched == table && event->type() == QEvent::KeyPress && table->rowCount() > 0) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Home || key == Qt::Key_End) {
            table->selectRow(key == Qt::Key_Home ? 0 : table->rowCount() - 1);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Dialog::initTableWidget()
{
    QStringList headerLabels;
    QStringList columnKeys;
    initTableColumn(headerLabels, columnKeys);

    QTableWidget *table = ui->tableWidget;
    table->setColumnCount(headerLabels.size());
    table->setHorizontalHeaderLabels(headerLabels);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->setVisible(false);

    setTabWidgetContent(columnKeys);

    if (headerLabels.size() == 3) {
        table->setColumnWidth(0, scaledToFont(table, 190));
        table->setColumnWidth(1, scaledToFont(table, 190));
        table->setColumnWidth(2, scaledToFont(table, 150));
    }
    // A table without rows has no certificate to choose: only Cancel.
    ui->pushButton->setEnabled(table->rowCount() > 0);

    // Written before the pre-selection, so that a choice left by an earlier
    // run never survives a start-up: until OK the file says "-1".
    _writeIndexFile(m_nSelectedRow);
    // The selection passes row 0 on to OK. A table without columns shows no
    // certificate: nothing is selected in it, and OK records -1.
    if (m_nRowCount > 0)
        table->selectRow(0);
}

void Dialog::initTableColumn(QStringList &headerLabels, QStringList &columnKeys)
{
    std::string stored;
    if (_readDataFile(".certInfoColumn", stored))
        ColumnsFromText(stored.c_str(), headerLabels, columnKeys);
}

void Dialog::setTabWidgetContent(QStringList columnKeys)
{
    std::string stored;
    if (!_readDataFile(".certInfoList", stored))
        return;
    const CertificateRows rows = CertificatesFromText(stored.c_str(), columnKeys);
    QTableWidget *table = ui->tableWidget;
    table->setRowCount(rows.rowCount);
    for (int row = 0; row < rows.cells.size(); ++row) {
        for (int col = 0; col < rows.cells[row].size(); ++col) {
            // A text cut at the column's edge can still be read in full.
            auto *item = new QTableWidgetItem(rows.cells[row][col]);
            item->setToolTip(item->text());
            table->setItem(row, col, item);
        }
    }
    // After an early stop the rows filled so far stay, without a row count,
    // so that nothing is pre-selected.
    if (!rows.complete)
        return;
    m_nRowCount = rows.rowCount;
    // 20 pixels at 96 dpi, and never lower than the text with a little room
    // above and below, whatever the font. Newer toolkits keep a row no lower
    // than the header's minimum, which has a margin of its own.
    const int height = std::max(scaledToFont(table, 20), table->fontMetrics().height() + 4);
    table->verticalHeader()->setMinimumSectionSize(height);
    for (int i = 0; i < rows.rowCount; ++i)
        table->setRowHeight(i, height);
}
