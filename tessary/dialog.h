// The certificate chooser's window, and the percent-decoding of the files
// that the calling service leaves for it.
#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

#include <string>

class Ui_Dialog;

class Dialog : public QDialog
{
    Q_OBJECT

public:
    explicit Dialog(QWidget *parent = nullptr);
    ~Dialog() override;

signals:
    void sendCurrentSelectedRow(int nRow);

public slots:
    // OK: records the chosen row in the index file and ends the process.
    void ClickButton1();
    // Cancel: ends the process, leaving the index file as start-up wrote it.
    void ClickButton2();

private slots:
    void onClickTable(int nRow, int nCol);
    void onCurrentSelectedRow(int nRow);
    // Passes the table's selected row on, however it was selected (mouse,
    // arrows, Page keys, Home/End): -1 when no row is selected.
    void onTableSelectionChanged();

private:
    void initTableWidget();
    void initTableColumn(QStringList &headerLabels, QStringList &columnKeys);
    void setTabWidgetContent(QStringList columnKeys);

    Ui_Dialog *ui;
    int m_nSelectedRow;  // what OK records: the selected row, -1 for none
    int m_nRowCount;     // rows loaded completely; 0 after an early stop
};

// The table's content from the two input files' stored text, each up to its
// first NUL byte. The table is filled from these, and they need no window.
// Text that does not decode to JSON, or a list of the wrong shape, is
// reported on stdout.

// One header label and one column key per member of the column file; none
// when its text is not JSON.
void ColumnsFromText(const char *stored, QStringList &headerLabels, QStringList &columnKeys);

// What the list file gives the table.
struct CertificateRows {
    int rowCount = 0;          // rows of the table: the array's length
    QList<QStringList> cells;  // the cell texts row by row, as far as the walk came
    bool complete = false;     // every cell found: only then is row 0 pre-selected
};
// The cells for columnKeys; the walk stops at the first element that is not
// an object or lacks one of the keys.
CertificateRows CertificatesFromText(const char *stored, const QStringList &columnKeys);

// What FromHex gives for a byte that is neither an ASCII letter nor a digit.
const unsigned char kNoHexValue = 0xFF;

// The value of one digit: '0'-'9' are 0-9, letters of either case 10-35.
unsigned char FromHex(unsigned char x);
// One pass of percent-decoding over bytes. A '%' without two digits after
// it is copied through unchanged.
std::string DecodeURIComponent(const std::string &s);
// Two passes: the data files are stored percent-encoded twice.
std::string JsonUrlDecode(std::string s);
