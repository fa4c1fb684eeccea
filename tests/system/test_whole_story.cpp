// The programs as a user meets them: started on a desktop display with a fresh home, driven
// through their windows' own buttons, boxes and dialogs.
#include "IcecastServer.h"
#include "SystemTestKit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
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

namespace {

// The test station's signal: a tone that steps up 50 Hz every second, from 300 Hz, repeating
// every 150 s, so that any second of a recording tells where in the broadcast it came from.
constexpr int kBaseHz = 300, kStepHz = 50, kSteps = 150;
const char *const kSteppingTone =
    "aevalsrc=exprs='0.5*sin(2*PI*(300+50*mod(floor(t)\\,150))*t)':s=44100:c=stereo";

// The broadcast second a stretch of the recording came from (mod kSteps), or -1.
int SecondOf(double hz)
{
    const double step = (hz - kBaseHz) / kStepHz;
    const long n = std::lround(step);
    return std::fabs(step - static_cast<double>(n)) < 0.3 && n >= 0 && n < kSteps ? static_cast<int>(n) : -1;
}

} // namespace

TEST_F(WholeStory, ReceivePreRecordRecordSaveAndTrimAClip)
{
    testsupport::IcecastServer icecast;
    ASSERT_TRUE(icecast.ok()) << icecast.problem();
    testsupport::SourceOptions source;
    source.lavfi = kSteppingTone;
    ASSERT_TRUE(icecast.startSource("/demo.mp3", source));
    icecast.setTitle("/demo.mp3", "Rising Tones");

    // The user's station list: the seeded one with the demo station on this test's server.
    std::filesystem::create_directories(home.dataFolder());
    {
        std::ifstream seed(std::string(FONOLUX_DATA) + "/stations.ini.bu");
        std::stringstream text;
        text << seed.rdbuf();
        std::string s = text.str();
        const std::string demo = "http://127.0.0.1:8000/demo.mp3";
        const auto at = s.find(demo);
        ASSERT_NE(at, std::string::npos);
        s.replace(at, demo.size(), icecast.url("/demo.mp3"));
        std::ofstream(home.dataFolder() + "stations.ini") << s;
    }

    systest::Driver &r = startFonolux();
    r.must("choose cbgnr Local");
    r.must("choose ComboBox1 Demo station on this computer");
    // Segments of 15 s, typed into the Radio page's field.
    r.must("key edPreRec End");
    for (int i = 0; i < 4; ++i)
        r.must("key edPreRec Backspace");
    r.must("type edPreRec 15");
    r.must("click BitBtn1");
    EXPECT_EQ(r.waitFor("Label14", "text", [](const std::string &v) { return v == "Pre-Recording"; }, 20s),
              "Pre-Recording");
    // Two segment switches.
    std::this_thread::sleep_for(33s);
    r.must("grab Form1 " + home.path() + "/prerecording.png");
    r.must("click RecordButton");
    EXPECT_EQ(r.waitFor("Label14", "text", [](const std::string &v) { return v == "Recording"; }, 10s), "Recording");
    const auto pressed = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(4s);
    r.must("grab Form1 " + home.path() + "/recording.png");
    r.must("click RecordButton");
    const auto stopped = std::chrono::steady_clock::now();
    const std::string mp3 = home.path() + "/Music/story.mp3";
    // The save dialog comes up; the user names the file.
    std::string answer;
    for (int i = 0; i < 100 && (answer = r.send("savefile " + mp3)) != "ok"; ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(answer, "ok");
    EXPECT_EQ(r.waitFor("Label14", "text", [](const std::string &v) { return v == "Pre-Recording"; }, 60s),
              "Pre-Recording");
    ASSERT_TRUE(std::filesystem::exists(mp3));

    // The MP3 holds the older segment and the recording: between one and two segments before
    // the press, plus the recording itself.
    const double recorded = std::chrono::duration<double>(stopped - pressed).count();
    const double length = systest::DurationSeconds(mp3);
    EXPECT_GT(length, 15.0 + recorded - 1.0);
    EXPECT_LT(length, 30.0 + recorded + 2.0);
    // Its sound runs through the broadcast second by second: no gap and no repeat at the join
    // of the two segments, and it starts well before the press.
    const auto pcm = systest::DecodeMono(mp3, 32000);
    std::vector<int> seconds;
    for (size_t at = 8000; at + 16000 < pcm.size(); at += 32000)
        seconds.push_back(SecondOf(systest::ToneHz(pcm, 32000, at, 16000)));
    ASSERT_GT(seconds.size(), 15u);
    int jumps = 0;
    for (size_t i = 1; i < seconds.size(); ++i) {
        if (seconds[i] < 0 || seconds[i - 1] < 0)
            continue;
        const int d = (seconds[i] - seconds[i - 1] + kSteps) % kSteps;
        jumps += d != 1;
    }
    EXPECT_LE(jumps, 1) << "the recording's seconds do not follow each other";

    // The trimmer opens the saved file.
    r.must("click btnclip");
    systest::Driver t(home.driverSocket("snipolux"));
    ASSERT_TRUE(t.connect(20s)) << "Snipolux did not come up";
    const std::string caption = t.waitFor("@active", "windowTitle",
                                          [](const std::string &v) { return v.find("story.mp3") != std::string::npos; }, 20s);
    EXPECT_NE(caption.find("story.mp3"), std::string::npos) << caption;
    // Drag the left bar of the selection to the middle of the picture and save the clip.
    t.must("drag Image1 1 60 480 60");
    t.must("grab @active " + home.path() + "/trimmer.png");
    t.must("click Button2");
    const std::string clip = home.path() + "/Music/clip.mp3";
    for (int i = 0; i < 100 && (answer = t.send("savefile " + clip)) != "ok"; ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(answer, "ok");
    for (int i = 0; i < 300 && systest::DurationSeconds(clip) <= 0; ++i)
        std::this_thread::sleep_for(100ms);
    const double clipLength = systest::DurationSeconds(clip);
    EXPECT_GT(clipLength, length * 0.3);
    EXPECT_LT(clipLength, length * 0.85);
}
