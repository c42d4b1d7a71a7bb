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
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
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
    open();
    EXPECT_EQ(dialog->windowTitle().toUtf8().toStdString(), "输入用户口令 ");
    EXPECT_EQ(dialog->size(), QSize(400, 200));
    EXPECT_EQ(dialog->minimumSize(), QSize(400, 200));
    EXPECT_EQ(dialog->maximumSize(), QSize(400, 200));
    // A plain window that stays on top, not a dialog-type window.
    EXPECT_EQ(dialog->windowFlags() & Qt::WindowType_Mask, Qt::Window);
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);

    struct Widget {
        const char *cls, *name;
        QRect geometry;
        std::string text;
    };
    const Widget expected[] = {
        {"QLabel", "label", {40, 30, 201, 17}, "现在需要输入你的UsbKey用户口令"},
        {"QLabel", "label_2", {40, 70, 41, 17}, "PIN码:"},
        {"QLineEdit", "lineEdit", {90, 70, 241, 21}, ""},
        {"QPushButton", "pushButton_ok", {90, 120, 80, 25}, "确定"},
        {"QPushButton", "pushButton_cancel", {250, 120, 80, 25}, "取消"},
    };
    const QList<QWidget *> widgets = dialog->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(widgets.size(), 5);
    for (int i = 0; i < 5; i++) {
        QWidget *w = widgets[i];
        SCOPED_TRACE(expected[i].name);
        EXPECT_STREQ(w->metaObject()->className(), expected[i].cls);
        EXPECT_EQ(w->objectName(), expected[i].name);
        EXPECT_EQ(w->geometry(), expected[i].geometry);
        QString text = w->property("text").toString();
        EXPECT_EQ(text.toUtf8().toStdString(), expected[i].text);
    }
    EXPECT_EQ(field()->echoMode(), QLineEdit::Password);
    // A screen reader names the field by its label.
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(field());
    ASSERT_TRUE(accessible);
    EXPECT_EQ(accessible->text(QAccessible::Name).toStdString(), "PIN码:");
    // Focus goes from the field to OK, then to Cancel.
    EXPECT_EQ(field()->nextInFocusChain(), ok());
    EXPECT_EQ(ok()->nextInFocusChain(), cancel());
}

TEST_F(PinDialog, OkFromSixUtf16UnitsAndAtMost32InTheField)
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

    // A PIN longer than the 32-byte block cannot even be entered.
    field()->setText(QString(40, 'x'));
    EXPECT_EQ(field()->text(), QString(32, 'x'));
    field()->insert("yy");
    EXPECT_EQ(field()->text(), QString(32, 'x'));
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
        {QString(40, 'z'), std::string(32, 'z')},
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
