// The programs as a user meets them: installed, started on a desktop display with a fresh home,
// and driven through their windows' own buttons, boxes and dialogs, from choosing a station to
// saving a clip of a recording.
#include "IcecastServer.h"
#include "SystemTestKit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The test station's signal: a tone that steps up 50 Hz every second, from 300 Hz, repeating
// every 150 s, so that any second of a recording tells where in the broadcast it came from.
constexpr int kBaseHz = 300, kStepHz = 50, kSteps = 150;
const char *const kSteppingTone =
    "aevalsrc=exprs='0.5*sin(2*PI*(300+50*mod(floor(t)\\,150))*t)':s=44100:c=stereo";

// The broadcast second a stretch of a recording came from (mod kSteps), or -1.
int SecondOf(double hz)
{
    const double step = (hz - kBaseHz) / kStepHz;
    const long n = std::lround(step);
    return std::fabs(step - static_cast<double>(n)) < 0.3 && n >= 0 && n < kSteps ? static_cast<int>(n) : -1;
}

// The broadcast seconds a file runs through, in order: the file is read in windows of 0.3 s
// every 0.1 s (so some windows lie wholly inside each broadcast second, whatever the file's
// phase), and each run of at least two windows reading the same second counts once.
std::vector<int> SecondsOf(const std::string &file)
{
    constexpr int rate = 32000, window = rate * 3 / 10, step = rate / 10;
    const auto pcm = systest::DecodeMono(file, rate);
    std::vector<int> seconds;
    int current = -1, run = 0;
    for (size_t at = 0; at + window <= pcm.size(); at += step) {
        const int second = SecondOf(systest::ToneHz(pcm, rate, at, window));
        run = second == current ? run + 1 : 1;
        current = second;
        if (run == 2 && second >= 0 && (seconds.empty() || seconds.back() != second))
            seconds.push_back(second);
    }
    return seconds;
}

// How many neighbouring seconds do not follow each other in the broadcast.
int Jumps(const std::vector<int> &seconds)
{
    int jumps = 0;
    for (size_t i = 1; i < seconds.size(); ++i)
        jumps += (seconds[i] - seconds[i - 1] + kSteps) % kSteps != 1;
    return jumps;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The size of a file, -1 when it is not there.
long long SizeOf(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Answers the program's file dialog with path once the dialog is there (typing the name and
// clicking Save, again if the dialog is still open a few seconds later, as a user would);
// "ok" once it has closed, else what went wrong.
std::string AnswerFileDialog(systest::Driver &d, const std::string &path)
{
    std::string windows;
    for (int i = 0; i < 150 && (windows = d.send("windows")).find("QFileDialog") == std::string::npos; ++i)
        std::this_thread::sleep_for(100ms);
    // A user reads the dialog before typing; meanwhile it reads its folder.
    std::this_thread::sleep_for(1s);
    const std::string answer = d.send("savefile " + path);
    if (answer != "ok")
        return answer;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        for (int i = 0; i < 40; ++i) {
            windows = d.send("windows");
            if (windows.find("QFileDialog") == std::string::npos) {
                if (attempt > 1)
                    std::printf("the file dialog took %d attempts\n", attempt);
                return "ok";
            }
            std::this_thread::sleep_for(100ms);
        }
        d.send("savefile " + path);
    }
    return "the file dialog stayed open: " + windows + " with the name " + d.send("get fileNameEdit text");
}

bool Is(const std::string &v, const std::string &want) { return v == want; }

} // namespace

class WholeStory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(display.ok()) << "Xvfb could not start";
        home.enter(display.name());
        prefix = home.path() + "/prefix";
        std::string log;
        ASSERT_TRUE(systest::InstallPrograms(CMAKE_COMMAND, FONOLUX_BUILD_DIR, prefix, log)) << log;
        // Pictures for the user guide go where FONOLUX_SCREENSHOTS says; else they are only
        // taken, so that the grab itself is still tried.
        const char *shots = std::getenv("FONOLUX_SCREENSHOTS");
        screenshots = shots && *shots ? std::string(shots) : home.path();
    }
    void TearDown() override
    {
        // The trimmer runs on its own once launched; end the one this test's launch started.
        systest::EndProcessesOf(prefix + "/bin/snipolux");
        if (HasFailure())
            for (const char *log : {"/fonolux.log", "/snipolux.log"})
                if (std::filesystem::exists(home.path() + log))
                    std::printf("--- %s\n%s\n", log + 1, ReadFile(home.path() + log).c_str());
    }

    // Starts the installed recorder with the test driver loaded into it (the trimmer it starts
    // inherits it) and connects to the driver.
    systest::Driver &startFonolux()
    {
        recorder.reset();
        fonolux = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"env", std::string("LD_PRELOAD=") + FONOLUX_TEST_DRIVER_LIBRARY,
                                     prefix + "/bin/fonolux"},
            home.path() + "/fonolux.log");
        recorder = std::make_unique<systest::Driver>(home.driverSocket("fonolux"));
        EXPECT_TRUE(recorder->connect(20s)) << "Fonolux did not come up";
        return *recorder;
    }
    std::string shot(const std::string &name) const { return screenshots + "/" + name; }

    systest::Display display;
    systest::Home home;
    std::string prefix, screenshots;
    std::unique_ptr<testsupport::ChildProcess> fonolux;
    std::unique_ptr<systest::Driver> recorder;
};

TEST_F(WholeStory, ReceivePreRecordRecordSaveAndTrimAClip)
{
    const auto began = Clock::now();
    testsupport::IcecastServer icecast;
    ASSERT_TRUE(icecast.ok()) << icecast.problem();
    testsupport::SourceOptions source;
    source.lavfi = kSteppingTone;
    source.name = "Demo station";
    ASSERT_TRUE(icecast.startSource("/demo.mp3", source));
    // The source's broadcast second 0 went out at or a little before this moment.
    const auto onAir = Clock::now();
    ASSERT_TRUE(icecast.setTitle("/demo.mp3", "Rising Tones"));

    std::string stationsFile;
    bool settingsSeeded = false;
    // First start on a fresh home: the data folder is seeded from the installed files, and
    // choosing the "Local" genre with the keyboard offers the demo station.
    {
        systest::Driver &r = startFonolux();
        const std::string windows = r.must("windows");
        EXPECT_NE(windows.find("TForm1"), std::string::npos) << windows;
        // The seeds' names are matched without regard to case, as the program does.
        for (const auto &e : std::filesystem::directory_iterator(home.dataFolder())) {
            const std::string name = systest::Lower(e.path().filename().string());
            if (name == "stations.ini")
                stationsFile = e.path().string();
            settingsSeeded = settingsSeeded || name == "fonolux.ini";
        }
        EXPECT_FALSE(stationsFile.empty()) << "no station list was seeded";
        EXPECT_TRUE(settingsSeeded) << "no settings were seeded";
        r.must("choose cbgnr Local");
        EXPECT_EQ(r.waitFor("cbgnr", "currentText", [](const std::string &v) { return v == "Local"; }, 5s), "Local");
        EXPECT_EQ(r.waitFor("ComboBox1", "currentText", [](const std::string &v) { return !v.empty(); }, 5s),
                  "Demo station on this computer");
        fonolux->stop();
    }

    // The user points the demo station at this test's server in the station file (the
    // seeded address is the demo script's fixed port, which another program may hold).
    {
        ASSERT_FALSE(stationsFile.empty());
        std::string s = ReadFile(stationsFile);
        const std::string demo = "http://127.0.0.1:8000/demo.mp3";
        const auto at = s.find(demo);
        ASSERT_NE(at, std::string::npos) << s;
        s.replace(at, demo.size(), icecast.url("/demo.mp3"));
        std::ofstream(stationsFile) << s;
    }

    systest::Driver &r = startFonolux();
    r.must("choose cbgnr Local");
    r.must("choose ComboBox1 Demo station on this computer");
    EXPECT_EQ(r.waitFor("ComboBox1", "currentText", [](const std::string &v) { return !v.empty(); }, 5s),
              "Demo station on this computer");
    // The shortest segments the settings allow: 15 s, typed into the Radio page's field in
    // front of the seeded "60" before that is removed, so that the field never holds a text
    // that is not a number (the program would say so).
    EXPECT_EQ(r.must("get edPreRec text"), "60");
    r.must("key edPreRec Left");
    r.must("key edPreRec Left");
    r.must("type edPreRec 15");
    r.must("key edPreRec Delete");
    r.must("key edPreRec Delete");
    EXPECT_EQ(r.waitFor("edPreRec", "text", [](const std::string &v) { return v == "15"; }, 5s), "15");
    const std::string work = r.must("get edTempDir text");
    ASSERT_FALSE(work.empty());

    r.must("click BitBtn1");
    EXPECT_EQ(r.waitFor("Label14", "text", [](const std::string &v) { return Is(v, "Pre-Recording"); }, 30s),
              "Pre-Recording");
    // The caption names the genre and the station's title at connect.
    EXPECT_EQ(r.waitFor("Form1", "windowTitle", [](const std::string &v) { return Is(v, "RADIO: Local: Rising Tones"); },
                        10s),
              "RADIO: Local: Rising Tones");
    // The station moves on to its next title, as a station does.
    EXPECT_TRUE(icecast.setTitle("/demo.mp3", "Falling Leaves"));

    // Two segment switches: the second tap's file appears, then the first tap's file starts
    // anew (it shrinks).
    const std::string temp0 = work + "temp0.wma", temp1 = work + "temp1.wma";
    const auto ringStarted = Clock::now();
    bool second = false, firstAgain = false;
    long long last0 = -1, s0 = -1;
    while (!firstAgain && Clock::now() - ringStarted < 60s) {
        s0 = SizeOf(temp0);
        second = second || SizeOf(temp1) > 0;
        firstAgain = second && last0 > 0 && s0 < last0;
        last0 = s0;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(firstAgain) << "pre-recording did not switch segments twice in 60 s: temp1 "
                            << (second ? "written" : "never written") << ", temp0 " << s0 << " bytes";
    const double ringSeconds = Seconds(Clock::now() - ringStarted);
    EXPECT_GT(ringSeconds, 25.0) << "15-second segments switched too early";
    std::this_thread::sleep_for(2s);
    r.must("grab Form1 " + shot("fonolux-playing.png"));

    r.must("click RecordButton");
    EXPECT_EQ(r.waitFor("Label14", "text", [](const std::string &v) { return Is(v, "Recording"); }, 10s), "Recording");
    const auto pressed = Clock::now();
    std::this_thread::sleep_for(4s);
    r.must("grab Form1 " + shot("fonolux-recording.png"));
    r.must("click RecordButton");
    const auto stopped = Clock::now();
    // The save dialog comes up; the user names the file.
    const std::string mp3 = home.path() + "/Music/story.mp3";
    ASSERT_EQ(AnswerFileDialog(r, mp3), "ok");
    EXPECT_EQ(r.waitFor("Label14", "text", [](const std::string &v) { return Is(v, "Pre-Recording"); }, 60s),
              "Pre-Recording");
    ASSERT_TRUE(std::filesystem::exists(mp3));
    // Nothing went wrong on the way that the program told the user about.
    EXPECT_EQ(r.send("get @message text").rfind("error", 0), 0u) << r.send("get @message text");

    // The MP3 holds the older segment and the recording: between one and two segments from
    // before the press, then the recording itself.
    const double recorded = Seconds(stopped - pressed);
    const double length = systest::DurationSeconds(mp3);
    EXPECT_GT(length, 15.0 + recorded - 1.5);
    EXPECT_LT(length, 30.0 + recorded + 3.0);
    // Its sound runs through the broadcast second by second: no gap and no repeat at the join
    // of the two segments (a shared block or two may blur one second).
    const std::vector<int> seconds = SecondsOf(mp3);
    EXPECT_GT(static_cast<double>(seconds.size()), length - 2.0) << "the recording is not the station's signal";
    ASSERT_FALSE(seconds.empty());
    EXPECT_LE(Jumps(seconds), 1) << "the recording's seconds do not follow each other";
    // It starts with what was broadcast at least about 15 s before the press: the broadcast
    // second at the press is at most the time since the source went on the air (a listener
    // hears the station late, never early), and the first second in the file lies 15 to 30 s
    // before the second heard at the press.
    const int first = seconds.front();
    const double airAtPress = Seconds(pressed - onAir);
    std::string heard;
    for (int second : seconds)
        heard += " " + std::to_string(second);
    std::printf("the file's broadcast seconds:%s; %.1f s on the air at the press; the ring switched twice in %.1f s\n",
                heard.c_str(), airAtPress, ringSeconds);
    EXPECT_LT(first, airAtPress - 15.0 + 3.0) << "the recording starts after the pre-recorded segment";
    EXPECT_GT(first, airAtPress - 30.0 - 10.0) << "the recording starts too long before the press";

    // The trim button launches the trimmer on the file just saved.
    r.must("click btnclip");
    const std::string trimmerExe = prefix + "/bin/snipolux";
    std::vector<int> trimmers;
    for (int i = 0; i < 100 && (trimmers = systest::ProcessesOf(trimmerExe)).empty(); ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(trimmers.size(), 1u) << "the trim button did not start the trimmer";
    const std::vector<std::string> args = systest::CommandLine(trimmers.front());
    // The file's name comes after "--", so that no name is taken for an option.
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1], "--");
    EXPECT_EQ(args[2], mp3);

    // The trimmer shows the file in its caption and its waveform across the picture.
    systest::Driver t(home.driverSocket("snipolux"));
    ASSERT_TRUE(t.connect(20s)) << "Snipolux did not come up";
    EXPECT_EQ(t.waitFor("Form1", "windowTitle", [](const std::string &v) { return Is(v, "Snipolux - story.mp3"); }, 20s),
              "Snipolux - story.mp3");
    const int width = std::atoi(t.must("get Image1 width").c_str());
    ASSERT_GT(width, 100);
    // The whole file is selected; the user drags the left bar to the middle of the picture.
    const int middle = width / 2;
    t.must("drag Image1 2 40 " + std::to_string(middle) + " 40");
    std::this_thread::sleep_for(500ms);
    t.must("grab Form1 " + shot("snipolux-selection.png"));
    t.must("click btnSave");
    const std::string clip = home.path() + "/Music/clip.mp3";
    ASSERT_EQ(AnswerFileDialog(t, clip), "ok");
    // The clip is put in place when the encoder has finished.
    for (int i = 0; i < 300 && !std::filesystem::exists(clip); ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(std::filesystem::exists(clip)) << "no clip was saved";
    EXPECT_EQ(t.waitFor("btnSave", "enabled", [](const std::string &v) { return Is(v, "true"); }, 30s), "true");
    // The clip is the second half of the recording: its length, and its sound from the
    // recording's middle on.
    const double clipLength = systest::DurationSeconds(clip);
    const double share = 1.0 - static_cast<double>(middle) / width;
    EXPECT_NEAR(clipLength, length * share, 1.5) << "the clip is not the selected stretch";
    const std::vector<int> clipSeconds = SecondsOf(clip);
    ASSERT_FALSE(clipSeconds.empty()) << "the clip is not the station's signal";
    EXPECT_LE(Jumps(clipSeconds), Jumps(seconds)) << "the clip's seconds do not follow each other";
    const int clipFirst = (clipSeconds.front() - first + kSteps) % kSteps;
    EXPECT_NEAR(clipFirst, length * (1.0 - share), 1.5) << "the clip does not start where the bar was dropped";
    EXPECT_NEAR((clipSeconds.back() - first + kSteps) % kSteps, (seconds.back() - first + kSteps) % kSteps, 1)
        << "the clip does not end with the recording";
    // Nothing went wrong that the trimmer told the user about.
    EXPECT_EQ(t.send("get @message text").rfind("error", 0), 0u) << t.send("get @message text");

    std::printf("whole story: %.0f s (recording %.1f s, file %.1f s, clip %.1f s from second %d)\n",
                Seconds(Clock::now() - began), recorded, length, clipLength, clipSeconds.front());
}
