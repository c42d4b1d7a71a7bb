// The certificate chooser's window: the table of certificates, OK and
// Cancel, and the index file that OK writes.
#pragma once

#include <QDialog>
#include <QStringList>

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

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void initTableWidget();
    void initTableColumn(QStringList &headerLabels, QStringList &columnKeys);
    void setTabWidgetContent(QStringList columnKeys);

    Ui_Dialog *ui;
    int m_nSelectedRow;  // what OK records: the selected row, -1 for none
    int m_nRowCount;     // rows loaded completely; 0 after an early stop
};
