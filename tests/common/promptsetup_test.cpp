// The prompts start without the toolkit's GLX integration unless whoever
// starts them asks for one. The process's environment as /proc shows it is
// the one it was started with, so the test looks at what the running prompt
// has loaded instead: the integration plugin, which brings Mesa with it.
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace {

const char GLX_PLUGIN[] = "xcbglintegrations/libqxcb-glx-integration";

class GlIntegration : public ::testing::Test {
protected:
    // The libraries mapped by the program once its window is up; empty when
    // no window appeared.
    std::string librariesOnceUp(const std::string &program, std::optional<std::string> gl)
    {
        harness::Child child({std::string(ZEF_BINARY_DIR) + "/" + program},
                             {{"HOME", home.path()},
                              {"DISPLAY", x.display()},
                              {"XDG_RUNTIME_DIR", runtime.path()},
                              {"QT_QPA_PLATFORM", std::nullopt},
                              {"QT_XCB_GL_INTEGRATION", gl}},
                             home.path());
        if (x.waitForWindow(child.pid()).empty()) {
            ADD_FAILURE() << program << ": no window appeared\n" << child.output();
            return {};
        }
        return harness::readFile("/proc/" + std::to_string(child.pid()) + "/maps").value_or("");
        // The prompt is killed here, before it could write a result.
    }

    harness::XServer x;
    harness::TempDir home;
    harness::TempDir runtime;
};

TEST_F(GlIntegration, PromptsStartedWithoutASettingLoadNoGl)
{
    for (const char *program : {"tessary/tessary", "quorrel/quorrel", "dirvane/dirvane"}) {
        const std::string maps = librariesOnceUp(program, std::nullopt);
        EXPECT_NE(maps, "");
        EXPECT_EQ(maps.find(GLX_PLUGIN), std::string::npos) << program;
        EXPECT_EQ(maps.find("libGLX_mesa"), std::string::npos) << program;
    }
}

TEST_F(GlIntegration, TheCallersSettingIsKept)
{
    if (!std::filesystem::exists(ZEF_QT_GLX_PLUGIN))
        GTEST_SKIP() << "this Qt has no GLX integration (" ZEF_QT_GLX_PLUGIN ")";
    const std::string maps = librariesOnceUp("tessary/tessary", "xcb_glx");
    EXPECT_NE(maps.find(GLX_PLUGIN), std::string::npos);
}

}  // namespace
