// The PIN prompt's window: a masked field, OK and Cancel.
#pragma once

#include <QDialog>
#include <QString>

class Ui_Dialog;

class Dialog : public QDialog
{
    Q_OBJECT

public:
    explicit Dialog(QWidget *parent = nullptr);
    ~Dialog();

public slots:
    // Encrypts the PIN, hands it over through segment 18945 and ends the
    // process; on failure the dialog stays open for another try.
    void ClickButtonOK();
    void ClickButtonCancel();
    void textChangedLine(QString text);

private:
    // Grabs the keyboard, trying again while another client holds it, and
    // says so on the form when it cannot be had.
    void holdKeyboard(int triesLeft);

    Ui_Dialog *ui;
};
