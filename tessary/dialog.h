// The certificate chooser's window, and the percent-decoding of the files
// that the calling service leaves for it.
#pragma once

#include <QDialog>
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

private:
    void initTableWidget();
    void initTableColumn(QStringList &headerLabels, QStringList &columnKeys);
    void setTabWidgetContent(QStringList columnKeys);

    Ui_Dialog *ui;
    int m_nSelectedRow;  // what OK records; -1 until a row is chosen
    int m_nRowCount;     // rows loaded completely; 0 after an early stop
};

// What FromHex gives for a byte that is neither an ASCII letter nor a digit.
const unsigned char kNoHexValue = 0xFF;

// The value of one digit: '0'-'9' are 0-9, letters of either case 10-35.
unsigned char FromHex(unsigned char x);
// One pass of percent-decoding over bytes. A '%' without two digits after
// it is copied through unchanged.
std::string DecodeURIComponent(const std::string &s);
// Two passes: the data files are stored percent-encoded twice.
std::string JsonUrlDecode(std::string s);
