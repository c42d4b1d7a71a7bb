// tessary as the calling service sees it: started under a private X server
// with files in a temporary HOME, driven by mouse and keyboard, its standard
// output and index file read after it ended.
#include "harness.h"

#include <gtest/gtest.h>


#include <optional>
#include <string>
#include <vector>

namespace {

const std::string PROGRAM = ZEF_BINARY_DIR "/tessary/tessary";

// Pointer moves in window coordinates: the table starts at (10, 10) below a
// header of about 22 pixels, and rows are 20 pixels high; OK is at
// (180, 280), 80 x 20.
std::vector<std::string> toRow(int row)
{
    return {"mousemove", "100", std::to_string(10 + 22 + 20 * row + 10)};
}
const std::vector<std::string> TO_OK = {"mousemove", "220", "290"};
const std::vector<std::string> CLICK = {"click", "1"};

class Tessary : public ::testing::Test {
protected:
    void SetUp() override
    {
        home.write(".certInfoColumn",
                   R"({"01%25E4%25B8%25BB%25E9%25A2%2598":"DN","02Issuer":"issuer","03Until":"NotAfter"})");
        home.write(".certInfoList", R"([{"DN":"CN=a","issuer":"CA","NotAfter":"2030"},)"
                                    R"( {"DN":"CN=b","issuer":"CA","NotAfter":"2031"},)"
                                    R"( {"DN":"CN=c","issuer":"CA","NotAfter":"2032"}])");
        home.write(".certlistindex", "5");
    }

    // Starts the chooser, plays the user with xdotool and waits for its end.
    void choose(const std::vector<std::vector<std::string>> &input)
    {
        harness::Child child({PROGRAM}, {{"HOME", home.path()},
                                         {"DISPLAY", x.display()},
                                         {"XDG_RUNTIME_DIR", runtime.path()},
                                         {"QT_QPA_PLATFORM", std::nullopt}});
        const std::string window = x.focusWindow(child.pid());
        if (window.empty()) {
            ADD_FAILURE() << "no window appeared:\n" << child.output();
            return;
        }
        properties = x.properties(window);
        x.play(window, input);
        exitStatus = child.exitStatus(30000);
        out = child.output();
    }

    std::string filePathLine(const std::string &name) const
    {
        return "filePath:" + home.file(name) + "\n";
    }

    harness::XServer x;
    harness::TempDir home;
    harness::TempDir runtime;
    std::optional<int> exitStatus;
    std::string out;
    std::string properties;  // xprop of the window
};

TEST_F(Tessary, RowChosenByMouseIsRecorded)
{
    choose({toRow(2), CLICK, TO_OK, CLICK});

    EXPECT_EQ(exitStatus, 0);
    const std::string lines = filePathLine(".certInfoColumn") + filePathLine(".certInfoList") +
                              filePathLine(".certlistindex") + "CurrentSelectedRow:2\n" +
                              filePathLine(".certlistindex");
    EXPECT_NE(out.find(lines), std::string::npos) << out;
    EXPECT_EQ(home.read(".certlistindex"), "2");
}

// By keyboard alone the selected row is the one recorded, and Tab leaves the
// table for OK and Cancel; a double-click accepts its row.
TEST_F(Tessary, SelectedRowIsRecordedWhicheverWayItWasChosen)
{
    const std::vector<std::string> tab = {"key", "Tab"};
    const struct {
        std::vector<std::vector<std::string>> input;
        std::string index;
    } cases[] = {
        {{{"key", "Down", "Down", "Return"}}, "2"},
        {{{"key", "Down", "Down"}, tab, {"key", "space"}}, "2"},
        {{{"key", "Next", "Up"}, tab, tab, {"key", "shift+Tab", "space"}}, "1"},
        {{{"key", "ctrl+End", "Down", "Up", "Return"}}, "1"},
        {{{"key", "Down", "ctrl+Home", "Return"}}, "0"},
        {{{"key", "End", "ctrl+Home", "Return"}}, "0"},
        {{{"key", "End", "ctrl+space", "Return"}}, "2"},
        {{{"key", "Down", "End", "Home", "Down", "Return"}}, "1"},
        {{toRow(1), {"click", "--repeat", "2", "1"}}, "1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.index);
        choose(c.input);
        EXPECT_EQ(exitStatus, 0);
        EXPECT_NE(out.find("CurrentSelectedRow:" + c.index + "\n"), std::string::npos) << out;
        EXPECT_EQ(home.read(".certlistindex"), c.index);
    }
}

// The designed size at 96 dpi; with the larger fonts of a 192 dpi desktop
// the window grows, so that no text is cut.
TEST_F(Tessary, WindowGrowsWithTheFont)
{
    const struct {
        int dpi;
        bool exact;  // the designed size, or at least 1.6 times it
    } cases[] = {{96, true}, {192, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dpi);
        x.setFontDpi(c.dpi);
        harness::Child child({PROGRAM}, {{"HOME", home.path()},
                                         {"DISPLAY", x.display()},
                                         {"XDG_RUNTIME_DIR", runtime.path()},
                                         {"QT_QPA_PLATFORM", std::nullopt}});
        const std::pair<int, int> size = x.windowSize(x.waitForWindow(child.pid()));
        if (c.exact) {
            EXPECT_EQ(size, std::make_pair(570, 320));
        } else {
            EXPECT_GE(size.first, 912);
            EXPECT_GE(size.second, 512);
        }
    }
}

// A dialog to the window manager, never tiled like an application window,
// with an icon of its own and no minimize or maximize at its fixed size.
TEST_F(Tessary, DialogWithIconEndsByEscapeWithZeroAndLeavesMinusOne)
{
    choose({toRow(1), CLICK, {"key", "Escape"}});
    EXPECT_TRUE(harness::isDialogWithIcon(properties)) << properties;
    EXPECT_FALSE(harness::offersMinimizeOrMaximize(properties)) << properties;

    EXPECT_EQ(exitStatus, 0);
    EXPECT_EQ(out.find("CurrentSelectedRow"), std::string::npos) << out;
    EXPECT_EQ(home.read(".certlistindex"), "-1");
}

}  // namespace
