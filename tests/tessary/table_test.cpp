// The certificate table as start-up builds it from real files in a
// temporary HOME, on Qt's offscreen platform.
#include "dialog.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

// "01主题" (Subject) and "张三" stored percent-encoded twice, as the calling
// service writes non-ASCII text.
const std::string COLUMNS =
    R"({"01%25E4%25B8%25BB%25E9%25A2%2598":"DN","02Issuer":"issuer","03Valid until":"NotAfter"})";
const std::string TWO_CERTIFICATES =
    R"([{"dn":"CN=%25E5%25BC%25A0%25E4%25B8%2589, OU=Signing, O=Example Trust Services Ltd, C=CN",)"
    R"(  "ISSUER":"CA 1","notafter":"2030-01-01"},)"
    R"( {"DN":"CN=b","issuer":7,"NotAfter":true}])";

class Table : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char arg0[] = "tessary_table_test";
        static char *argv[] = {arg0, nullptr};
        if (!qApp)
            new QApplication(argc, argv);
    }

    void SetUp() override { setenv("HOME", home.path().c_str(), 1); }

    // Builds the window as the program does and returns what it printed.
    std::string open()
    {
        std::string out = harness::captureStdout([&] { dialog = std::make_unique<Dialog>(); });
        table = dialog->findChild<QTableWidget *>("tableWidget");
        return out;
    }

    std::string path(const std::string &name) const { return home.file(name); }
    std::string filePathLine(const std::string &name) const
    {
        return "filePath:" + path(name) + "\n";
    }
    // The three lines of a start-up that found every file.
    std::string startLines() const
    {
        return filePathLine(".certInfoColumn") + filePathLine(".certInfoList") +
               filePathLine(".certlistindex");
    }

    QStringList headers() const
    {
        QStringList labels;
        for (int c = 0; c < table->columnCount(); ++c)
            labels << table->horizontalHeaderItem(c)->text();
        return labels;
    }
    // The cell texts of a row, "-" for a cell without an item.
    QStringList rowTexts(int row) const
    {
        QStringList texts;
        for (int c = 0; c < table->columnCount(); ++c)
            texts << (table->item(row, c) ? table->item(row, c)->text() : QString("-"));
        return texts;
    }
    QList<int> selectedRows() const
    {
        QList<int> rows;
        for (const QModelIndex &i : table->selectionModel()->selectedRows())
            rows << i.row();
        return rows;
    }

    harness::TempDir home;
    std::unique_ptr<Dialog> dialog;
    QTableWidget *table = nullptr;
};

TEST_F(Table, CompleteListIsShownAndRowZeroPreselected)
{
    home.write(".certInfoColumn", COLUMNS);
    home.write(".certInfoList", TWO_CERTIFICATES);
    home.write(".certlistindex", "12");

    EXPECT_EQ(open(), startLines());
    EXPECT_EQ(headers(), QStringList({"主题", "Issuer", "Valid until"}));
    ASSERT_EQ(table->rowCount(), 2);
    // Keys match member names whatever the case; non-strings give empty cells.
    EXPECT_EQ(rowTexts(0), QStringList({"CN=张三, OU=Signing, O=Example Trust Services Ltd, C=CN",
                                        "CA 1", "2030-01-01"}));
    EXPECT_EQ(rowTexts(1), QStringList({"CN=b", "", ""}));
    // The designed pixels at 96 dpi, grown with the screen's; a row holds
    // its text whole.
    const auto scaled = [&](int length) {
        return static_cast<int>(std::lround(length * std::max(1.0, table->logicalDpiY() / 96.0)));
    };
    EXPECT_EQ(table->columnWidth(0), scaled(190));
    EXPECT_EQ(table->columnWidth(1), scaled(190));
    EXPECT_EQ(table->columnWidth(2), scaled(150));
    for (int row = 0; row < 2; ++row) {
        EXPECT_GE(table->rowHeight(row), scaled(20));
        EXPECT_GE(table->rowHeight(row), table->fontMetrics().height() + 4);
    }
    EXPECT_EQ(selectedRows(), QList<int>({0}));
    // The selected subject in full, for the eye under the table and for a
    // screen reader as the table's description.
    EXPECT_EQ(dialog->findChild<QLabel *>("label")->text().remove(QChar(0x200B)), rowTexts(0)[0]);
    EXPECT_EQ(table->accessibleDescription(), rowTexts(0)[0]);
    // Every cell shows its full text as its tooltip; the subject is cut.
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(table->item(0, c)->toolTip(), rowTexts(0)[c]);
    EXPECT_EQ(table->accessibleName(), "证书列表");
    EXPECT_FALSE(table->tabKeyNavigation());
    // The earlier choice is gone, and OK has not been pressed.
    EXPECT_EQ(home.read(".certlistindex"), "-1");

    EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(table->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(table->verticalHeader()->isHidden());
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_GE(dialog->width(), scaled(570));
    EXPECT_GE(dialog->height(), scaled(320));
    EXPECT_EQ(dialog->windowTitle(), "请选择您要用的证书");
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dialog->findChild<QPushButton *>("pushButton")->text(), "确定");
    EXPECT_EQ(dialog->findChild<QPushButton *>("pushButton_2")->text(), "取消");
}

TEST_F(Table, ColumnFileShapes)
{
    struct Case {
        std::string columns;
        QStringList headers;
    };
    // Two-character names give empty labels; four columns keep the default
    // widths; an array gives its elements as keys, without labels.
    const Case cases[] = {
        {R"({"01a":"A","b":"B","02":"C","x4d":"D"})", {"a", "", "", "d"}},
        {R"(["A","B"])", {"", ""}},
    };
    home.write(".certInfoList", R"([{"a":"1","B":"2","c":"3","D":"4"}])");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.columns);
        home.write(".certInfoColumn", c.columns);
        open();
        EXPECT_EQ(headers(), c.headers);
        EXPECT_EQ(rowTexts(0), QStringList({"1", "2", "3", "4"}).mid(0, c.headers.size()));
        for (int col = 0; col < table->columnCount(); ++col)
            EXPECT_EQ(table->columnWidth(col), table->horizontalHeader()->defaultSectionSize());
        EXPECT_EQ(selectedRows(), QList<int>({0}));
    }
}

TEST_F(Table, MissingColumnFileGivesEmptyRows)
{
    home.write(".certInfoList", TWO_CERTIFICATES);
    const std::string column = path(".certInfoColumn");
    EXPECT_EQ(open(), "filePath:" + column + "\nfopen " + column + " fail\n" +
                          filePathLine(".certInfoList") + filePathLine(".certlistindex"));
    EXPECT_EQ(table->columnCount(), 0);
    EXPECT_EQ(table->rowCount(), 2);
    EXPECT_TRUE(selectedRows().isEmpty());
}

TEST_F(Table, ListFileProblemsStopLoadingWithoutPreselection)
{
    struct Case {
        std::optional<std::string> list;  // nullopt: no list file
        std::string message;
        std::vector<QStringList> rows;
    };
    const QStringList empty{"-", "-", "-"};
    const std::string list = path(".certInfoList");
    const Case cases[] = {
        {std::nullopt, "fopen " + list + " fail\n", {}},
        {"", "cJSON_Parse fail, strDecFileData:\n\n", {}},
        {"not %2541 json", "cJSON_Parse fail, strDecFileData:\nnot A json\n", {}},
        {"[]", "", {}},
        {R"({"DN":"x","issuer":"y","NotAfter":"z"})", "cJSON_IsArray is false\n", {}},
        {R"([{"DN":"a","issuer":"b","NotAfter":"c"},{"DN":"d","NotAfter":"f"},)"
         R"( {"DN":"g","issuer":"h","NotAfter":"i"}])",
         "DN项没有发现\n",
         {{"a", "b", "c"}, {"d", "-", "-"}, empty}},
        {R"([{"DN":"a","issuer":"b","NotAfter":"c"},null])", "cJSON_IsObject is false\n",
         {{"a", "b", "c"}, empty}},
    };
    home.write(".certInfoColumn", COLUMNS);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.list.value_or("(no file)"));
        std::filesystem::remove(list);
        if (c.list)
            home.write(".certInfoList", *c.list);

        EXPECT_EQ(open(), filePathLine(".certInfoColumn") + "filePath:" + list + "\n" +
                              c.message + filePathLine(".certlistindex"));
        EXPECT_EQ(headers().size(), 3);
        ASSERT_EQ(table->rowCount(), static_cast<int>(c.rows.size()));
        for (size_t row = 0; row < c.rows.size(); ++row) {
            EXPECT_EQ(rowTexts(static_cast<int>(row)), c.rows[row]) << row;
            EXPECT_EQ(table->rowHeight(static_cast<int>(row)),
                      table->verticalHeader()->defaultSectionSize());
        }
        EXPECT_TRUE(selectedRows().isEmpty());
        EXPECT_EQ(home.read(".certlistindex"), "-1");
        // Without a row there is nothing to choose, only to cancel.
        EXPECT_EQ(dialog->findChild<QPushButton *>("pushButton")->isEnabled(), !c.rows.empty());
    }
}

TEST_F(Table, FileBytesBeyondTheJsonValueAreIgnored)
{
    home.write(".certInfoColumn", R"({"01Subject":"DN"})");
    // Read up to the first NUL byte, a byte-order mark skipped, text after
    // the value ignored, a NUL from an escape ending the text.
    const std::string lists[] = {"[{\"DN\":\"a\"}]\0[{\"DN\":\"b\"},{\"DN\":\"c\"}]"s,
                                 "\xef\xbb\xbf[{\"DN\":\"a\"}]", R"([{"DN":"a"}] trailing)",
                                 R"([{"DN":"a"}]%2500{)"};
    for (const std::string &list : lists) {
        SCOPED_TRACE(list);
        home.write(".certInfoList", list);
        EXPECT_EQ(open(), startLines());
        ASSERT_EQ(table->rowCount(), 1);
        EXPECT_EQ(rowTexts(0), QStringList({"a"}));
    }
}

TEST_F(Table, FilesOfUnknownOrHugeLengthAreRefused)
{
    home.write(".certInfoColumn", COLUMNS);
    const std::string list = path(".certInfoList");
    std::filesystem::create_directory(list);
    EXPECT_EQ(open(), filePathLine(".certInfoColumn") + "filePath:" + list + "\nfseek " + list +
                          " fail\n" + filePathLine(".certlistindex"));
    EXPECT_EQ(table->rowCount(), 0);

    // A FIFO must not hold up the start waiting for a writer, nor the index
    // file waiting for a reader.
    std::filesystem::remove(list);
    const std::string index = path(".certlistindex");
    std::filesystem::remove(index);
    ASSERT_EQ(mkfifo(list.c_str(), 0600) | mkfifo(index.c_str(), 0600), 0);
    const std::string out = open();
    EXPECT_NE(out.find("fseek " + list + " fail\n"), std::string::npos) << out;
    EXPECT_NE(out.find("fopen " + index + " fail\n"), std::string::npos) << out;
    EXPECT_EQ(table->rowCount(), 0);
    std::filesystem::remove(index);

    // Sparse: lengths without the disk space, from just over what a list
    // can be to 2 GiB.
    for (const off_t length : {(4LL << 20) + 1, 1LL << 31}) {
        std::filesystem::remove(list);
        home.write(".certInfoList", "[]");
        ASSERT_EQ(truncate(list.c_str(), length), 0);
        EXPECT_NE(open().find("file too large: " + list + "\n"), std::string::npos);
        EXPECT_EQ(table->rowCount(), 0);
    }
}

TEST_F(Table, WithoutHomeNothingIsReadOrWritten)
{
    home.write(".certInfoColumn", COLUMNS);
    home.write(".certInfoList", TWO_CERTIFICATES);
    unsetenv("HOME");
    EXPECT_EQ(open(), "get HOME env  error\nget HOME env  error\nget HOME env  error\n");
    EXPECT_EQ(table->columnCount(), 0);
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_FALSE(home.read(".certlistindex"));
}

// The paths hold 255 bytes at most; a longer one is refused, never cut (a
// cut path would name another file).
TEST_F(Table, HomePathsOfUpTo255BytesAreUsedLongerOnesRefused)
{
    const size_t column = std::string("/.certInfoColumn").size();
    const std::string fits = home.file(std::string(255 - column - home.path().size() - 1, 'a'));
    ASSERT_EQ(fits.size() + column, 255u);
    std::filesystem::create_directory(fits);
    setenv("HOME", fits.c_str(), 1);
    EXPECT_EQ(open(), "filePath:" + fits + "/.certInfoColumn\nfopen " + fits +
                          "/.certInfoColumn fail\nfilePath:" + fits + "/.certInfoList\nfopen " +
                          fits + "/.certInfoList fail\nfilePath:" + fits + "/.certlistindex\n");
    EXPECT_TRUE(std::filesystem::exists(fits + "/.certlistindex"));

    // Two bytes more: the column and index paths no longer fit, the list
    // path (two bytes shorter than the column path) just does.
    const std::string tooLong = fits + "bb";
    std::filesystem::create_directory(tooLong);
    setenv("HOME", tooLong.c_str(), 1);
    EXPECT_EQ(open(), "HOME path too long\nfilePath:" + tooLong + "/.certInfoList\nfopen " +
                          tooLong + "/.certInfoList fail\nHOME path too long\n");
    // Nothing cut: a cut path would have named a file in here.
    EXPECT_TRUE(std::filesystem::is_empty(tooLong));
}

// The chooser may run with more rights than the owner of HOME: what that
// user puts in place of a file, a link or a second name of somebody else's
// file, is neither read nor written.
TEST_F(Table, NoLinkOrSecondNameInHomeIsFollowed)
{
    harness::TempDir elsewhere;
    elsewhere.write("columns", COLUMNS);
    elsewhere.write("list", TWO_CERTIFICATES);
    elsewhere.write("index", "5");
    const std::string index = path(".certlistindex");
    for (const bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "second names" : "links");
        for (const auto &[name, target] :
             {std::pair{".certInfoColumn", "columns"}, {".certInfoList", "list"},
              {".certlistindex", "index"}}) {
            std::filesystem::remove(path(name));
            if (hard)
                std::filesystem::create_hard_link(elsewhere.file(target), path(name));
            else
                std::filesystem::create_symlink(elsewhere.file(target), path(name));
        }
        // A second name is refused for writing only: the kernel lets a user
        // give one only to a file that user may read and write.
        const std::string out = open();
        EXPECT_NE(out.find("filePath:" + index + "\nfopen " + index + " fail\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(table->rowCount(), hard ? 2 : 0);
        EXPECT_EQ(elsewhere.read("index"), "5");
    }
}

TEST_F(Table, CellClickMakesColumnTwoOfItsRowCurrent)
{
    home.write(".certInfoColumn", COLUMNS);
    home.write(".certInfoList", TWO_CERTIFICATES);
    open();
    emit table->cellClicked(1, 0);
    EXPECT_EQ(table->currentRow(), 1);
    EXPECT_EQ(table->currentColumn(), 2);
    EXPECT_EQ(selectedRows(), QList<int>({1}));
}

}  // namespace
