// How the chooser ends by its buttons. OK and Cancel end the process from
// inside their slots, so each case runs in a child process. The exit
// status and the index file's bytes are what the calling service sees.
#include "dialog.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

namespace {

const std::string COLUMNS = R"({"01Subject":"DN","02Issuer":"issuer","03Valid until":"NotAfter"})";
const std::string THREE_CERTIFICATES = R"([{"DN":"a","issuer":"b","NotAfter":"c"},)"
                                       R"( {"DN":"d","issuer":"e","NotAfter":"f"},)"
                                       R"( {"DN":"g","issuer":"h","NotAfter":"i"}])";

using Action = std::function<void(Dialog &, QTableWidget &)>;

// The user's input as the widgets receive it from the window system.
void clickCell(QTableWidget &table, int row, int col)
{
    const QPoint at = table.visualRect(table.model()->index(row, col)).center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(table.viewport(), &event);
    }
}

void press(QWidget &widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    // Space comes with its text, as from the window system: the table
    // searches its rows for the text of every key.
    QKeyEvent event(QEvent::KeyPress, key, modifiers, key == Qt::Key_Space ? " " : "");
    QCoreApplication::sendEvent(&widget, &event);
}

void clickButton(Dialog &dialog, const char *name)
{
    dialog.findChild<QPushButton *>(name)->click();
}

void ok(Dialog &dialog, QTableWidget &) { clickButton(dialog, "pushButton"); }

class Choice : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The children are forks of this process, which must stay without
        // the toolkit's threads: each child builds its own application.
        GTEST_FLAG_SET(death_test_style, "fast");
        setenv("HOME", home.path().c_str(), 1);
        home.write(".certInfoColumn", COLUMNS);
        home.write(".certInfoList", THREE_CERTIFICATES);
        home.write(".certlistindex", "7");
    }

    // Runs the chooser as main does and lets act play the user, whose last
    // step must end the process: status 2 says that it did not.
    // Standard output goes to the file "out" in HOME.
    [[noreturn]] void chooseThen(const Action &act)
    {
        if (!freopen(home.file("out").c_str(), "w", stdout))
            abort();
        int argc = 1;
        char arg0[] = "tessary";
        char *argv[] = {arg0, nullptr};
        QApplication app(argc, argv);
        Dialog dialog;
        dialog.show();
        act(dialog, *dialog.findChild<QTableWidget *>("tableWidget"));
        exit(2);
    }

    std::string okLines(int row) const
    {
        return "CurrentSelectedRow:" + std::to_string(row) + "\nfilePath:" +
               home.file(".certlistindex") + "\n";
    }
    // What the child printed after start-up.
    std::string after() const
    {
        const std::string out = home.read("out").value_or("");
        const std::string start = "filePath:" + home.file(".certlistindex") + "\n";
        const size_t at = out.find(start);
        return at == std::string::npos ? out : out.substr(at + start.size());
    }

    harness::TempDir home;
};

TEST_F(Choice, OkWithoutClickRecordsThePreselectedRow)
{
    EXPECT_EXIT(chooseThen(ok), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(after(), okLines(0));
    EXPECT_EQ(home.read(".certlistindex"), "0");
}

TEST_F(Choice, OkRecordsTheLastClickedRow)
{
    EXPECT_EXIT(chooseThen([](Dialog &d, QTableWidget &t) {
                    clickCell(t, 0, 1);
                    clickCell(t, 2, 0);
                    ok(d, t);
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(after(), okLines(2));
    EXPECT_EQ(home.read(".certlistindex"), "2");
}

TEST_F(Choice, KeyboardMovesAfterAClickAreRecorded)
{
    EXPECT_EXIT(chooseThen([](Dialog &d, QTableWidget &t) {
                    clickCell(t, 1, 0);
                    press(t, Qt::Key_Up);
                    ok(d, t);
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(home.read(".certlistindex"), "0");
}

// Home and End reach the first and the last row, and no key leaves the
// table without a selected row: OK writes the highlighted row.
TEST_F(Choice, KeysKeepOneRowSelectedAndOkWritesIt)
{
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    const struct {
        std::vector<std::pair<int, Qt::KeyboardModifiers>> keys;
        int row;
    } cases[] = {
        {{{Qt::Key_End, {}}}, 2},
        {{{Qt::Key_End, {}}, {Qt::Key_Home, {}}}, 0},
        {{{Qt::Key_End, {}}, {Qt::Key_Home, ctrl}}, 0},
        {{{Qt::Key_Down, {}}, {Qt::Key_Space, ctrl}}, 1},
        {{{Qt::Key_End, {}}, {Qt::Key_Space, ctrl}, {Qt::Key_Space, ctrl}}, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.row);
        EXPECT_EXIT(chooseThen([&c](Dialog &d, QTableWidget &t) {
                        for (const auto &k : c.keys)
                            press(t, k.first, k.second);
                        const QModelIndexList rows = t.selectionModel()->selectedRows();
                        if (rows.size() != 1 || rows.first().row() != c.row)
                            exit(3);
                        ok(d, t);
                    }),
                    ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(home.read(".certlistindex"), std::to_string(c.row));
    }
}

TEST_F(Choice, AfterAnEarlyStopOkRecordsMinusOneOrTheClickedRow)
{
    home.write(".certInfoList", R"([{"DN":"a","issuer":"b","NotAfter":"c"},5,{}])");
    EXPECT_EXIT(chooseThen(ok), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(after(), okLines(-1));
    EXPECT_EQ(home.read(".certlistindex"), "-1");

    // An empty row can still be chosen.
    EXPECT_EXIT(chooseThen([](Dialog &d, QTableWidget &t) {
                    clickCell(t, 2, 1);
                    ok(d, t);
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(home.read(".certlistindex"), "2");
}

TEST_F(Choice, WithFewerThanThreeColumnsRowsAreStillRecorded)
{
    // No columns, from a missing or an empty column file: the table shows
    // no certificate, so none is selected.
    for (const char *columns : {"", "{}"}) {
        std::remove(home.file(".certInfoColumn").c_str());
        if (*columns)
            home.write(".certInfoColumn", columns);
        EXPECT_EXIT(chooseThen(ok), ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(home.read(".certlistindex"), "-1") << columns;
    }

    // One column: the click makes a cell current that does not exist.
    home.write(".certInfoColumn", R"({"01Subject":"DN"})");
    EXPECT_EXIT(chooseThen([](Dialog &d, QTableWidget &t) {
                    clickCell(t, 1, 0);
                    ok(d, t);
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(home.read(".certlistindex"), "1");
}

TEST_F(Choice, CancelLeavesMinusOneEvenAfterAClick)
{
    EXPECT_EXIT(chooseThen([](Dialog &d, QTableWidget &t) {
                    clickCell(t, 2, 0);
                    clickButton(d, "pushButton_2");
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(after(), "");
    EXPECT_EQ(home.read(".certlistindex"), "-1");
}

TEST_F(Choice, OkThatCannotWriteStillEndsWithZero)
{
    EXPECT_EXIT(chooseThen([](Dialog &d, QTableWidget &t) {
                    unsetenv("HOME");
                    ok(d, t);
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(after(), "CurrentSelectedRow:0\nget HOME env  error\n");
    EXPECT_EQ(home.read(".certlistindex"), "-1");
}

}  // namespace
