// The programs as a user meets them: started on a desktop display with a fresh home, driven
// through their windows' own buttons, boxes and dialogs.
#include "IcecastServer.h"
#include "SystemTestKit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

class WholeStory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(display.ok()) << "Xvfb could not start";
        home.enter(display.name());
    }
    // Starts the recorder and connects to its driver.
    systest::Driver &startFonolux()
    {
        fonolux = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{FONOLUX_BIN},
                                                              home.path() + "/fonolux.log");
        recorder = std::make_unique<systest::Driver>(home.driverSocket("fonolux"));
        EXPECT_TRUE(recorder->connect(20s)) << "Fonolux did not come up";
        return *recorder;
    }

    systest::Display display;
    systest::Home home;
    std::unique_ptr<testsupport::ChildProcess> fonolux;
    std::unique_ptr<systest::Driver> recorder;
};

} // namespace

TEST_F(WholeStory, FonoluxStartsWithAFreshHomeAndTheLocalGenreListsTheDemoStation)
{
    systest::Driver &r = startFonolux();
    const std::string windows = r.must("windows");
    EXPECT_NE(windows.find("TForm1"), std::string::npos) << windows;
    EXPECT_NE(windows.find("Radio Zorbel"), std::string::npos) << windows;
    // The data folder was seeded from the seed files beside the program (names in any case).
    std::set<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(home.dataFolder()))
        files.insert(systest::Lower(e.path().filename().string()));
    EXPECT_TRUE(files.count("stations.ini"));
    EXPECT_TRUE(files.count("fonolux.ini"));
    // Choosing the genre with the keyboard fills the station box with its stations.
    r.must("choose cbgnr Local");
    EXPECT_EQ(r.waitFor("cbgnr", "currentText", [](const std::string &v) { return v == "Local"; }, 5s), "Local");
    const std::string station = r.waitFor("ComboBox1", "currentText", [](const std::string &v) { return !v.empty(); }, 5s);
    EXPECT_FALSE(station.empty());
}
