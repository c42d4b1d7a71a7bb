#include "dialog.h"
#include "ui_dialog.h"

#include "handoff.h"
#include "pinkey.h"
#include "promptsize.h"
#include "sharememory.h"
#include "sm4.h"

#include <QAccessible>
#include <QByteArray>
#include <QGuiApplication>
#include <QIcon>
#include <QStyle>
#include <QTimer>
#include <QValidator>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string.h>
#include <sys/mman.h>

static const int MIN_PIN_LENGTH = 6;

namespace {

const char kMinimumHint[] = "至少6位";
const char kTooLong[] = "不能超过32位";
const char kNotPrintable[] = "含有不能输入的字符";
const char kKeyboardNotHeld[] = "无法独占键盘，其他程序可能读取输入";

// How long another client's hold on the keyboard is waited out: 20 tries,
// 100 ms apart.
const int kKeyboardTries = 20;
const int kKeyboardRetryMs = 100;

// What the form says beside the field, on the screen and to a screen reader:
// the hint or refusal, and that the keyboard could not be held. Set only
// when it changes, since the toolkit announces every setting.
void _describeField(Ui_Dialog *ui)
{
    QString description = ui->label_hint->text();
    if (!ui->label_keyboard->text().isEmpty())
        description += QLatin1Char('\n') + ui->label_keyboard->text();
    if (ui->lineEdit->accessibleDescription() != description)
        ui->lineEdit->setAccessibleDescription(description);
}

void _setHint(Ui_Dialog *ui, const char *word)
{
    ui->label_hint->setText(QString::fromUtf8(word));
    _describeField(ui);
}

// The toolkit's text events of a line edit carry the characters typed, even
// in a masked field: the accessibility bridge would send each one to every
// client of the bus, and a screen reader would speak it. A masked field's
// events carry its mask character instead, one per character, as the screen
// shows it; every other event passes unchanged.
QAccessible::UpdateHandler g_nextUpdateHandler;

void _maskPinEvents(QAccessibleEvent *event);

void _passOn(QAccessibleEvent *event)
{
    if (g_nextUpdateHandler) {
        g_nextUpdateHandler(event);
        return;
    }
    // No handler before ours: the toolkit's own dispatch to the platform's
    // bridge, with ours out of the way for this one event.
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(_maskPinEvents);
}

void _maskPinEvents(QAccessibleEvent *event)
{
    QLineEdit *field = qobject_cast<QLineEdit *>(event->object());
    if (!field || field->echoMode() == QLineEdit::Normal) {
        _passOn(event);
        return;
    }
    const QChar mask(field->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, field));
    const auto masked = [mask](const QString &text) { return QString(text.size(), mask); };
    switch (event->type()) {
    case QAccessible::TextInserted: {
        const auto *e = static_cast<QAccessibleTextInsertEvent *>(event);
        QAccessibleTextInsertEvent out(field, e->changePosition(), masked(e->textInserted()));
        out.setCursorPosition(e->cursorPosition());
        _passOn(&out);
        break;
    }
    case QAccessible::TextRemoved: {
        const auto *e = static_cast<QAccessibleTextRemoveEvent *>(event);
        QAccessibleTextRemoveEvent out(field, e->changePosition(), masked(e->textRemoved()));
        out.setCursorPosition(e->cursorPosition());
        _passOn(&out);
        break;
    }
    case QAccessible::TextUpdated: {
        const auto *e = static_cast<QAccessibleTextUpdateEvent *>(event);
        QAccessibleTextUpdateEvent out(field, e->changePosition(), masked(e->textRemoved()),
                                       masked(e->textInserted()));
        out.setCursorPosition(e->cursorPosition());
        _passOn(&out);
        break;
    }
    default:
        _passOn(event);
    }
}

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
    PinValidator(Ui_Dialog *ui, QObject *parent) : QValidator(parent), m_ui(ui) {}

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
        _setHint(m_ui, word);
        return Invalid;
    }

    Ui_Dialog *m_ui;
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

void _maskPinEventsFromNowOn()
{
    const QAccessible::UpdateHandler previous = QAccessible::installUpdateHandler(_maskPinEvents);
    // A later dialog finds ours in place: it must not become its own next.
    if (previous != _maskPinEvents)
        g_nextUpdateHandler = previous;
}

}  // namespace

Dialog::Dialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui_Dialog)
{
    ui->setupUi(this);
    setWindowTitle(QString::fromUtf8("输入用户口令 "));
    // Above every window, and still a dialog to the window manager; a
    // window of fixed size offers no minimize or maximize.
    setWindowFlags((windowFlags() | Qt::WindowStaysOnTopHint) & ~Qt::WindowMinMaxButtonsHint);
    Q_INIT_RESOURCE(quorrel);
    setWindowIcon(QIcon(QStringLiteral(":/icons/quorrel.png")));
    ui->lineEdit->setEchoMode(QLineEdit::Password);
    ui->lineEdit->setValidator(new PinValidator(ui, ui->lineEdit));
    _maskPinEventsFromNowOn();
    ui->label_keyboard->hide();
    _describeField(ui);
    ui->pushButton_ok->setEnabled(false);

    const QString message = _callerMessage();
    ui->label_message->setText(message);
    ui->label_message->setVisible(!message.isEmpty());
    // The caller's message (the last PIN was wrong, say) stands apart from
    // the form's own line: the style's font, in bold.
    QFont emphasis = ui->label_message->font();
    emphasis.setBold(true);
    ui->label_message->setFont(emphasis);
    fixWindowSize(this, QSize(400, 200));
    centreOnPointerScreen(this);

    connect(ui->pushButton_ok, SIGNAL(clicked()), this, SLOT(ClickButtonOK()));
    connect(ui->pushButton_cancel, SIGNAL(clicked()), this, SLOT(ClickButtonCancel()));
    connect(ui->lineEdit, SIGNAL(textChanged(QString)), this, SLOT(textChangedLine(QString)));

    // The keyboard is held while the prompt is up, so that no other client
    // of the display can grab it and take the PIN's keystrokes. X grants the
    // grab to a viewable window only, so it is asked for when the window is
    // made active, and again at every return, since closing a popup of the
    // form (the field's menu) lets go of the keyboard. On a platform other
    // than X (the offscreen one of the tests) there is nothing to hold.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow *focused) {
            if (focused && focused == windowHandle())
                holdKeyboard(kKeyboardTries);
        });
        // Escape and closing end here; OK and Cancel end the process, and
        // with it its display connection, which the server's grab ends with.
        connect(this, &QDialog::finished, this, [this] {
            if (windowHandle())
                windowHandle()->setKeyboardGrabEnabled(false);
        });
    }

    // A segment still there from an earlier run would pass for this run's PIN.
    clearResult(PIN_SEGMENT_KEY, PIN_SEGMENT_SIZE);
}

Dialog::~Dialog()
{
    delete ui;
}

void Dialog::holdKeyboard(int triesLeft)
{
    QWindow *window = windowHandle();
    if (!window || !isVisible())
        return;
    const bool held = window->setKeyboardGrabEnabled(true);
    // Another client holds it (its menu, its own grab) and may let go.
    if (!held && triesLeft > 0) {
        QTimer::singleShot(kKeyboardRetryMs, this, [this, triesLeft] { holdKeyboard(triesLeft - 1); });
        return;
    }
    ui->label_keyboard->setText(held ? QString() : QString::fromUtf8(kKeyboardNotHeld));
    ui->label_keyboard->setVisible(!held);
    _describeField(ui);
}

void Dialog::ClickButtonOK()
{
    // Named, the text shares the field's buffer, so toLatin1 copies it into
    // a fresh array that the wipe below covers whole; a temporary could be
    // converted in place and leave UTF-16 remnants of the PIN behind.
    const QString text = ui->lineEdit->text();
    QByteArray pin = text.toLatin1();

    // Kept out of swap where the system allows it; where the lock is refused
    // (a low RLIMIT_MEMLOCK) they are only wiped, as always.
    struct {
        unsigned char result[PIN_SEGMENT_SIZE];
        unsigned char block[PIN_BLOCK_SIZE];
        unsigned char key[sizeof PIN_KEY];
    } s = {};
    mlock(&s, sizeof s);
    mlock(pin.constData(), pin.size());
    memcpy(s.key, PIN_KEY, sizeof s.key);
    memcpy(s.block, pin.constData(), std::min(static_cast<size_t>(pin.size()), sizeof s.block));

    bool handedOver = false;
    int ret = sm4_ecb_encrypt(s.block, sizeof s.block, s.result, s.key, sizeof s.key);
    if (ret != 0)
        printf("sm4_ecb_encrypt fail, ret:%d\n", ret);
    else
        handedOver = handOverResult(PIN_SEGMENT_KEY, s.result, sizeof s.result);

    explicit_bzero(pin.data(), pin.size());
    explicit_bzero(&s, sizeof s);
    munlock(pin.constData(), pin.size());
    munlock(&s, sizeof s);
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
    _setHint(ui, kMinimumHint);
    // Only a text set from code can be longer than the block; it is refused,
    // never cut.
    ui->pushButton_ok->setEnabled(text.length() >= MIN_PIN_LENGTH &&
                                  text.length() <= static_cast<int>(PIN_BLOCK_SIZE));
}
