#include "dialog.h"
#include "ui_dialog.h"

#include "pinkey.h"
#include "sharememory.h"
#include "sm4.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string.h>

static const int MIN_PIN_LENGTH = 6;

Dialog::Dialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui_Dialog)
{
    ui->setupUi(this);
    setWindowTitle(QString::fromUtf8("输入用户口令 "));
    setWindowFlags(Qt::WindowStaysOnTopHint);
    setFixedSize(400, 200);
    ui->lineEdit->setEchoMode(QLineEdit::Password);
    // One byte per UTF-16 unit: a longer PIN would not fit the block.
    ui->lineEdit->setMaxLength(static_cast<int>(PIN_BLOCK_SIZE));
    // The PIN goes over as Latin-1: any other character would arrive as '?',
    // and two different PINs as the same bytes. The field takes only what
    // is handed over as typed.
    ui->lineEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[\\x{1}-\\x{ff}]*")), ui->lineEdit));
    ui->pushButton_ok->setEnabled(false);

    connect(ui->pushButton_ok, SIGNAL(clicked()), this, SLOT(ClickButtonOK()));
    connect(ui->pushButton_cancel, SIGNAL(clicked()), this, SLOT(ClickButtonCancel()));
    connect(ui->lineEdit, SIGNAL(textChanged(QString)), this, SLOT(textChangedLine(QString)));

    // A segment still there from an earlier run would pass for this run's PIN.
    removeShareMemory(PIN_SEGMENT_KEY, PIN_SEGMENT_SIZE);
}

Dialog::~Dialog()
{
    delete ui;
}

void Dialog::ClickButtonOK()
{
    // Named, the text shares the field's buffer, so toLatin1 copies it into
    // a fresh array that the wipe below covers whole; a temporary could be
    // converted in place and leave UTF-16 remnants of the PIN behind.
    const QString text = ui->lineEdit->text();
    QByteArray pin = text.toLatin1();

    unsigned char result[PIN_SEGMENT_SIZE] = {};
    unsigned char block[PIN_BLOCK_SIZE] = {};
    unsigned char key[sizeof PIN_KEY];
    memcpy(key, PIN_KEY, sizeof key);
    memcpy(block, pin.constData(), std::min(static_cast<size_t>(pin.size()), sizeof block));

    bool handedOver = false;
    int ret = sm4_ecb_encrypt(block, sizeof block, result, key, sizeof key);
    if (ret != 0)
        printf("sm4_ecb_encrypt fail, ret:%d\n", ret);
    else
        handedOver = copyToShareMemory(PIN_SEGMENT_KEY, result, sizeof result);

    explicit_bzero(pin.data(), pin.size());
    explicit_bzero(block, sizeof block);
    explicit_bzero(key, sizeof key);
    explicit_bzero(result, sizeof result);
    if (handedOver)
        exit(0);
}

void Dialog::ClickButtonCancel()
{
    exit(0);
}

void Dialog::textChangedLine(QString text)
{
    ui->pushButton_ok->setEnabled(text.length() >= MIN_PIN_LENGTH);
}
