// The PIN dialog on the offscreen platform. Whatever may end the process
// (OK, Cancel, Enter, Escape, closing) runs in a forked copy of this one, so
// that an unexpected exit can never pass for a finished test.
#include "dialog.h"
#include "harness.h"
#include "pinoracle.h"
#include "segment_expect.h"
#include "sharememory.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

// Printed by a forked dialog that is still open and ready for another try.
const std::string STILL_OPEN = "still open\n";

class PinDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "dialog_test";
        static char *argv[] = {name, nullptr};
        if (!qApp)
            new QApplication(argc, argv);
    }

    void SetUp() override { harness::removeSegment(PIN_SEGMENT_KEY); }
    void TearDown() override { harness::removeSegment(PIN_SEGMENT_KEY); }

    // Builds the dialog and returns what its start printed.
    std::string open()
    {
        return harness::captureStdout([&] { dialog = std::make_unique<Dialog>(); });
    }

    QLineEdit *field() { return dialog->findChild<QLineEdit *>("lineEdit"); }
    QPushButton *ok() { return dialog->findChild<QPushButton *>("pushButton_ok"); }
    QPushButton *cancel() { return dialog->findChild<QPushButton *>("pushButton_cancel"); }

    void key(QWidget *to, int k)
    {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QApplication::sendEvent(to, &press);
    }

    // The PIN typed and OK clicked in a forked copy: the segment it left.
    std::optional<std::string> handOver(const QString &pin)
    {
        harness::Result e = harness::run([&] {
            field()->setText(pin);
            ok()->click();
        });
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(e.out, "");
        return harness::readSegment(PIN_SEGMENT_KEY);
    }

    std::unique_ptr<Dialog> dialog;
};

TEST_F(PinDialog, FormAndWindow)
{
    unsetenv("ZEF_PIN_MESSAGE");
    open();
    EXPECT_EQ(dialog->windowTitle().toUtf8().toStdString(), "输入用户口令 ");
    // The designed 400 by 200 at 96 dpi, grown with the screen's, and fixed.
    const double scale = std::max(1.0, dialog->logicalDpiY() / 96.0);
    EXPECT_GE(dialog->width(), std::lround(400 * scale));
    EXPECT_GE(dialog->height(), std::lround(200 * scale));
    EXPECT_EQ(dialog->minimumSize(), dialog->size());
    EXPECT_EQ(dialog->maximumSize(), dialog->size());
    // A dialog to the window manager, and one that stays on top.
    EXPECT_EQ(dialog->windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);

    struct Widget {
        const char *cls, *name;
        std::string text;
    };
    const Widget expected[] = {
        {"QLabel", "label", "现在需要输入你的UsbKey用户口令"},
        {"QLabel", "label_message", ""},
        {"QLabel", "label_2", "PIN码:"},
        {"QLineEdit", "lineEdit", ""},
        {"QLabel", "label_hint", "至少6位"},
        {"QLabel", "label_keyboard", ""},
        {"QPushButton", "pushButton_ok", "确定"},
        {"QPushButton", "pushButton_cancel", "取消"},
    };
    dialog->show();
    const QList<QWidget *> widgets = dialog->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(widgets.size(), 8);
    for (int i = 0; i < 8; i++) {
        QWidget *w = widgets[i];
        SCOPED_TRACE(expected[i].name);
        EXPECT_STREQ(w->metaObject()->className(), expected[i].cls);
        EXPECT_EQ(w->objectName(), expected[i].name);
        EXPECT_EQ(w->property("text").toString().toUtf8().toStdString(), expected[i].text);
        // Without a message, and with no keyboard to hold offscreen, their
        // lines take no room; every other text is whole.
        EXPECT_EQ(w->isVisible(), i != 1 && i != 5);
        if (w->isVisible()) {
            EXPECT_GE(w->width(), w->sizeHint().width());
            EXPECT_GE(w->height(), w->sizeHint().height());
        }
    }
    EXPECT_EQ(field()->echoMode(), QLineEdit::Password);
    // A screen reader names the field by its label, and reads the hint with it.
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(field());
    ASSERT_TRUE(accessible);
    EXPECT_EQ(accessible->text(QAccessible::Name).toStdString(), "PIN码:");
    EXPECT_EQ(accessible->text(QAccessible::Description).toStdString(), "至少6位");
    EXPECT_TRUE(accessible->state().passwordEdit);
    // Tab goes from the field to OK, then to Cancel.
    const auto nextByTab = [](QWidget *w) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        return w;
    };
    EXPECT_EQ(nextByTab(field()), ok());
    EXPECT_EQ(nextByTab(ok()), cancel());
}

TEST_F(PinDialog, OkFromSixUtf16UnitsUpTo32)
{
    open();
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");  // U+1F600, two units
    EXPECT_FALSE(ok()->isEnabled());
    field()->setText("12345");
    EXPECT_FALSE(ok()->isEnabled());
    field()->setText("123456");
    EXPECT_TRUE(ok()->isEnabled());
    field()->backspace();
    EXPECT_FALSE(ok()->isEnabled());
    field()->setText("abc" + face);
    EXPECT_FALSE(ok()->isEnabled());
    field()->setText("abcd" + face);
    EXPECT_TRUE(ok()->isEnabled());
    field()->clear();
    EXPECT_FALSE(ok()->isEnabled());
    // Text set from code bypasses the field's check; one longer than the
    // block is still never handed over cut.
    field()->setText(QString(32, 'x'));
    EXPECT_TRUE(ok()->isEnabled());
    field()->setText(QString(33, 'x'));
    EXPECT_FALSE(ok()->isEnabled());
}

// What a password manager pastes: a line end after the PIN is dropped; text
// that cannot be a PIN is refused whole, and the form says why.
TEST_F(PinDialog, PasteTakesOnlyWhatCanBeAPin)
{
    open();
    const QString minimum = QString::fromUtf8("至少6位");
    const QString tooLong = QString::fromUtf8("不能超过32位");
    const QString notPrintable = QString::fromUtf8("含有不能输入的字符");
    const struct {
        QString before, pasted, after, hint;
    } cases[] = {
        {"", "654321\n", "654321", minimum},
        {"", "654321\r\n", "654321", minimum},
        {"12", "3456\n", "123456", minimum},
        {"", QString(40, 'x'), "", tooLong},
        {QString(30, 'x'), "yyy", QString(30, 'x'), tooLong},
        {"", "12\n3456", "", notPrintable},
        {"", "\t123456", "", notPrintable},
        {"", QString::fromUtf8("中文123456"), "", notPrintable},
        {"", QString::fromUtf8("123456\xC2\x85"), "", notPrintable},  // U+0085, a C1 control
        {"", QString::fromUtf8("\xC3\xA9t\xC3\xA9 ~1"), QString::fromUtf8("\xC3\xA9t\xC3\xA9 ~1"), minimum},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pasted.toStdString());
        field()->setText(c.before);
        QApplication::clipboard()->setText(c.pasted);
        field()->paste();
        EXPECT_EQ(field()->text(), c.after);
        EXPECT_EQ(dialog->findChild<QLabel *>("label_hint")->text(), c.hint);
        EXPECT_EQ(field()->accessibleDescription(), c.hint);
    }

    field()->clear();
    QApplication::clipboard()->setText("654321\n");
    EXPECT_EQ(harness::run([&] {
                  field()->paste();
                  ok()->click();
              }).status,
              0);
    std::optional<std::string> segment = harness::readSegment(PIN_SEGMENT_KEY);
    ASSERT_TRUE(segment);
    EXPECT_EQ(decryptPin(*segment), pinPlaintext("654321"));
}

// The caller's message above the field: plain text, a few lines at most,
// and nothing of it cut.
TEST_F(PinDialog, CallerMessageIsShownAsPlainText)
{
    const std::string longLine(300, 'a');
    const struct {
        const char *message;  // nullptr: not set
        QString shown;
    } cases[] = {
        {nullptr, ""},
        {"", ""},
        {"网银客户端请求PIN码\n上次的PIN码不正确，还可以再试3次", QString::fromUtf8("网银客户端请求PIN码\n上次的PIN码不正确，还可以再试3次")},
        {"<b>bold</b>\t&amp;", "<b>bold</b> &amp;"},
        {"1\n2\n3\n4\n5", "1\n2\n3"},
        {longLine.c_str(), QString(200, 'a') + QChar(0x2026)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message ? c.message : "(unset)");
        if (c.message)
            setenv("ZEF_PIN_MESSAGE", c.message, 1);
        else
            unsetenv("ZEF_PIN_MESSAGE");
        open();
        dialog->show();
        const QLabel *label = dialog->findChild<QLabel *>("label_message");
        EXPECT_EQ(label->text(), c.shown);
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        EXPECT_EQ(label->isVisible(), !c.shown.isEmpty());
        // Set apart from the form's own line above it.
        EXPECT_TRUE(label->font().bold());
        EXPECT_FALSE(dialog->findChild<QLabel *>("label")->font().bold());
        if (label->isVisible()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()));
            EXPECT_LE(label->geometry().bottom(), field()->geometry().top());
        }
    }
    unsetenv("ZEF_PIN_MESSAGE");
}

TEST_F(PinDialog, TypedCharactersOutsideLatin1AreRefused)
{
    open();
    field()->insert(QString::fromUtf8("é1"));
    for (const char *refused : {"€", "中", "\xF0\x9F\x98\x80", "a€"})
        field()->insert(QString::fromUtf8(refused));
    field()->insert("ÿ");
    EXPECT_EQ(field()->text(), QString::fromUtf8("é1ÿ"));
}

TEST_F(PinDialog, OkHandsOverThePinBlockEncrypted)
{
    EXPECT_EQ(open(), "ENOENT\n");
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");
    const QString full = QString::fromLatin1("\xE9") + QString(31, '7');
    const struct {
        QString pin;
        std::string block;  // its Latin-1 bytes
    } cases[] = {
        {"123456", "123456"},
        {full, "\xE9" + std::string(31, '7')},
        {QString::fromUtf8("pin€€€"), "pin???"},
        {"abcd" + face, "abcd??"},
    };
    // Under the one key ECB maps each block to one ciphertext block, so the
    // exact decryption also pins the rest: the same PIN always gives the
    // same 48 bytes, and the padding block's 16 are the same for every PIN.
    for (const auto &c : cases) {
        SCOPED_TRACE(c.block);
        std::optional<std::string> segment = handOver(c.pin);
        ASSERT_TRUE(segment);
        ASSERT_EQ(segment->size(), 48u);
        EXPECT_EQ(decryptPin(*segment), pinPlaintext(c.block));

        shmid_ds ds{};
        ASSERT_EQ(shmctl(shmget(PIN_SEGMENT_KEY, 0, 0), IPC_STAT, &ds), 0);
        EXPECT_EQ(ds.shm_perm.mode & 0777, RESULT_MODE);
        harness::removeSegment(PIN_SEGMENT_KEY);
    }
}

TEST_F(PinDialog, EnterPressesOkOnlyWhileItIsEnabled)
{
    open();
    dialog->show();
    EXPECT_TRUE(ok()->isDefault());
    harness::Result e = harness::run([&] {
        field()->setText("12345");
        key(field(), Qt::Key_Return);
        if (dialog->isVisible())
            printf("%s", STILL_OPEN.c_str());
        field()->insert("6");
        key(field(), Qt::Key_Return);
    });
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.out, STILL_OPEN);
    std::optional<std::string> segment = harness::readSegment(PIN_SEGMENT_KEY);
    ASSERT_TRUE(segment);
    EXPECT_EQ(decryptPin(*segment), pinPlaintext("123456"));
}

// Cancel, Escape and closing the window end as main() would, with status 0,
// and leave no segment, even with a PIN in the field.
TEST_F(PinDialog, CancelEscapeAndCloseLeaveNoSegment)
{
    open();
    dialog->show();
    const std::function<void()> endings[] = {
        [&] { cancel()->click(); },
        [&] {
            QTimer::singleShot(0, [&] { key(field(), Qt::Key_Escape); });
            exit(QApplication::exec());
        },
        [&] {
            QTimer::singleShot(0, dialog.get(), SLOT(close()));
            exit(QApplication::exec());
        },
    };
    for (const auto &end : endings) {
        harness::Result e = harness::run([&] {
            field()->setText("123456");
            end();
        });
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(e.out, "");
        EXPECT_FALSE(harness::readSegment(PIN_SEGMENT_KEY));
    }
}

TEST_F(PinDialog, FailedHandOffLeavesTheDialogForAnotherTry)
{
    // A leftover smaller than ours: the lookup at start fails silently and
    // the write after it fails.
    int obstacle = shmget(PIN_SEGMENT_KEY, 16, IPC_CREAT | IPC_EXCL | 0666);
    ASSERT_NE(obstacle, -1);
    EXPECT_EQ(open(), "");
    dialog->show();

    harness::Result e = harness::run([&] {
        field()->setText("secret1");
        ok()->click();
        if (dialog->isVisible() && field()->text() == "secret1" && ok()->isEnabled())
            printf("%s", STILL_OPEN.c_str());
        shmctl(obstacle, IPC_RMID, nullptr);
        ok()->click();
    });
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.out, EINVAL_LINE + "shmget fail\n" + STILL_OPEN);
    std::optional<std::string> segment = harness::readSegment(PIN_SEGMENT_KEY);
    ASSERT_TRUE(segment);
    EXPECT_EQ(decryptPin(*segment), pinPlaintext("secret1"));
}

}  // namespace
