#include "dialog.h"
#include "ui_dialog.h"

#include "handoff.h"
#include "pinkey.h"
#include "promptsize.h"
#include "sharememory.h"
#include "sm4.h"

#include <QByteArray>
#include <QValidator>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string.h>

static const int MIN_PIN_LENGTH = 6;

namespace {

const char kMinimumHint[] = "至少6位";
const char kTooLong[] = "不能超过32位";
const char kNotPrintable[] = "含有不能输入的字符";

// The caller's message: a few lines, so that it can never push the field
// out of the window.
const int kMessageLines = 3;
const int kMessageLength = 200;

// Takes only what can be a PIN, and says on the form why an edit was not
// taken: a PIN goes over as Latin-1, one byte per character, into a 32-byte
// block, and a character beyond either would reach the USB key as some other
// PIN, a wrong try against a key that locks.
class PinValidator : public QValidator
{
public:
    PinValidator(QLabel *hint, QObject *parent) : QValidator(parent), m_hint(hint) {}

    State validate(QString &input, int &pos) const override
    {
        // A password manager's paste often ends in a line end: it is dropped
        // from the pasted text, which ends at the cursor. Typing never puts
        // one there, Return is no character of the field.
        while (pos > 0 && (input[pos - 1] == QLatin1Char('\n') || input[pos - 1] == QLatin1Char('\r')))
            input.remove(--pos, 1);
        for (const QChar c : input) {
            const ushort u = c.unicode();
            if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u > 0xFF)
                return refuse(kNotPrintable);
        }
        // Refused whole rather than cut: a cut paste is a PIN nobody meant.
        if (input.size() > static_cast<int>(PIN_BLOCK_SIZE))
            return refuse(kTooLong);
        return Acceptable;
    }

private:
    State refuse(const char *word) const
    {
        m_hint->setText(QString::fromUtf8(word));
        return Invalid;
    }

    QLabel *m_hint;
};

// ZEF_PIN_MESSAGE, set by the caller to say who asks or that the last PIN
// was wrong, as plain text of at most kMessageLines lines.
QString _callerMessage()
{
    const QString text = QString::fromUtf8(qgetenv("ZEF_PIN_MESSAGE"));
    QStringList lines = text.split(QLatin1Char('\n')).mid(0, kMessageLines);
    for (QString &line : lines) {
        for (QChar &c : line) {
            if (c.category() == QChar::Other_Control)
                c = QLatin1Char(' ');
        }
        line = line.trimmed();
    }
    QString message = lines.join(QLatin1Char('\n')).trimmed();
    if (message.size() > kMessageLength) {
        message.truncate(kMessageLength);
        if (message.at(message.size() - 1).isHighSurrogate())
            message.chop(1);
        message += QChar(0x2026);
    }
    return message;
}

}  // namespace

Dialog::Dialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui_Dialog)
{
    ui->setupUi(this);
    setWindowTitle(QString::fromUtf8("输入用户口令 "));
    // Above every window, and still a dialog to the window manager.
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    ui->lineEdit->setEchoMode(QLineEdit::Password);
    ui->lineEdit->setValidator(new PinValidator(ui->label_hint, ui->lineEdit));
    ui->pushButton_ok->setEnabled(false);

    const QString message = _callerMessage();
    ui->label_message->setText(message);
    ui->label_message->setVisible(!message.isEmpty());
    fixWindowSize(this, QSize(400, 200));

    connect(ui->pushButton_ok, SIGNAL(clicked()), this, SLOT(ClickButtonOK()));
    connect(ui->pushButton_cancel, SIGNAL(clicked()), this, SLOT(ClickButtonCancel()));
    connect(ui->lineEdit, SIGNAL(textChanged(QString)), this, SLOT(textChangedLine(QString)));

    // A segment still there from an earlier run would pass for this run's PIN.
    clearResult(PIN_SEGMENT_KEY, PIN_SEGMENT_SIZE);
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
        handedOver = handOverResult(PIN_SEGMENT_KEY, result, sizeof result);

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
    // Once an edit is taken, the form says the minimum again.
    ui->label_hint->setText(QString::fromUtf8(kMinimumHint));
    // Only a text set from code can be longer than the block; it is refused,
    // never cut.
    ui->pushButton_ok->setEnabled(text.length() >= MIN_PIN_LENGTH &&
                                  text.length() <= static_cast<int>(PIN_BLOCK_SIZE));
}
