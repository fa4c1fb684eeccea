// The programs on a real X display with a window manager: they start on a server without GL and
// say nothing alarming, and Fonolux's marquee scrolls only while its window can be seen.
#include "SystemTestKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A program of the build tree with the test driver preloaded.
std::vector<std::string> Program(const std::string &relative)
{
    return {"env", std::string("LD_PRELOAD=") + FONOLUX_TEST_DRIVER_LIBRARY, std::string(FONOLUX_BUILD_DIR) + relative};
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// xdotool on the test's display; its output.
std::string Xdo(const std::string &args)
{
    std::string out;
    if (FILE *p = ::popen(("xdotool " + args + " 2>/dev/null").c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

// The first visible window of a process (its X id), waiting for it to come up.
std::string WindowOf(int pid)
{
    for (int i = 0; i < 100; ++i) {
        std::string w = Xdo("search --onlyvisible --pid " + std::to_string(pid));
        if (!w.empty())
            return w.substr(0, w.find('\n'));
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

class DesktopDisplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(display.ok()) << "no X display";
        home.enter(display.name());
    }
    void TearDown() override { ::unsetenv("QT_XCB_GL_INTEGRATION"); }

    systest::Display display;
    systest::Home home;
};

} // namespace

TEST_F(DesktopDisplay, BothProgramsStartWithoutGlAndSayNothingAlarming)
{
    ::setenv("QT_XCB_GL_INTEGRATION", "none", 1);
    for (const std::string program : {"fonolux", "snipolux"}) {
        const std::string log = home.path() + "/" + program + ".log";
        {
            testsupport::ChildProcess p(Program((program == "fonolux" ? "/recorder/" : "/trimmer/") + program), log);
            systest::Driver d(home.driverSocket(program));
            ASSERT_TRUE(d.connect(30s)) << program << " did not come up:\n" << ReadFile(log);
            // The driver may answer before the window is shown.
            bool shown = false;
            for (int i = 0; i < 200 && !shown; ++i) {
                shown = d.must("windows").find("TForm1") != std::string::npos;
                if (!shown)
                    std::this_thread::sleep_for(100ms);
            }
            EXPECT_TRUE(shown) << program << " shows no window of its own";
            EXPECT_FALSE(WindowOf(p.pid()).empty()) << program << " shows no window";
            std::this_thread::sleep_for(1s); // the web pane's page is in
            ASSERT_TRUE(p.running()) << program << " ended:\n" << ReadFile(log);
        }
        const std::string said = systest::Lower(ReadFile(log));
        for (const char *alarming : {"opengl", "segmentation", "failed", "cannot", "error", "warning", "sandbox"})
            EXPECT_EQ(said.find(alarming), std::string::npos) << program << " said:\n" << said;
    }
}

TEST_F(DesktopDisplay, TheMarqueeScrollsOnlyWhileTheWindowCanBeSeen)
{
    const std::string log = home.path() + "/fonolux.log";
    testsupport::ChildProcess fonolux(Program("/recorder/fonolux"), log);
    systest::Driver d(home.driverSocket("fonolux"));
    ASSERT_TRUE(d.connect(30s)) << ReadFile(log);
    const std::string window = WindowOf(fonolux.pid());
    ASSERT_FALSE(window.empty());
    auto scrollingBecomes = [&](const std::string &want) {
        return d.waitFor("mrqstn", "scrolling", [&](const std::string &v) { return v == want; }, 5s) == want;
    };
    EXPECT_TRUE(scrollingBecomes("true"));

    // Minimised, then back.
    Xdo("windowminimize " + window);
    EXPECT_TRUE(scrollingBecomes("false")) << "scrolls while minimised";
    Xdo("windowactivate " + window);
    Xdo("windowmap " + window);
    EXPECT_TRUE(scrollingBecomes("true")) << "does not scroll again when restored";

    // Unmapped (taken off the screen by the desktop), then back.
    Xdo("windowunmap " + window);
    EXPECT_TRUE(scrollingBecomes("false")) << "scrolls while unmapped";
    Xdo("windowmap " + window);
    EXPECT_TRUE(scrollingBecomes("true"));

    // Wholly covered by another window, then uncovered.
    testsupport::ChildProcess cover(Program("/trimmer/snipolux"), home.path() + "/cover.log");
    const std::string other = WindowOf(cover.pid());
    ASSERT_FALSE(other.empty());
    Xdo("windowmove " + window + " 100 100");
    Xdo("windowmove " + other + " 0 0");
    Xdo("windowsize " + other + " 1280 1024");
    Xdo("windowactivate " + other);
    Xdo("windowraise " + other);
    EXPECT_TRUE(scrollingBecomes("false")) << "scrolls while covered";
    Xdo("windowminimize " + other);
    EXPECT_TRUE(scrollingBecomes("true")) << "does not scroll again when uncovered";
}
