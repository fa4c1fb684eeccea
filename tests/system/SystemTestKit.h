// The programs as a user runs them, for system tests: a private X display with a window
// manager, a fresh home, the real programs started as processes and driven through their test
// driver socket (clicks and keys posted to widgets by name), and sound analysis of files.
#pragma once

#include "Processes.h"
#include "TestSupport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace systest {

// An X display of the test's own (Xvfb) with a window manager; DISPLAY is set for children.
class Display {
public:
    Display();
    ~Display();
    bool ok() const { return ok_; }
    const std::string &name() const { return name_; }

private:
    bool ok_ = false;
    std::string name_;
    std::unique_ptr<testsupport::ChildProcess> xvfb_, wm_;
};

// A fresh home for one run of the programs: HOME, the XDG folders and a runtime folder.
struct Home {
    testsupport::TempDir dir;
    std::string path() const { return dir.path().string(); }
    std::string dataFolder() const { return path() + "/.local/share/Zorbel/Fonolux/"; }
    // Sets this process's environment (inherited by the programs it starts) to this home,
    // the display and the driver socket base "<home>/drive".
    void enter(const std::string &display) const;
    std::string driverSocket(const std::string &program) const { return path() + "/drive." + program; }
};

// One line to the program's driver socket and its one-line answer ("ok ..." or "error ...").
class Driver {
public:
    explicit Driver(std::string socketPath) : path_(std::move(socketPath)) {}
    // Waits until the program listens (true) or the time is up.
    bool connect(std::chrono::milliseconds timeout);
    std::string send(const std::string &line);
    // "ok" answers only: the text after "ok ", or throws a test failure message.
    std::string must(const std::string &line);
    // Polls get NAME PROPERTY until pred holds or the time is up; the last value.
    std::string waitFor(const std::string &name, const std::string &property,
                        const std::function<bool(const std::string &)> &pred, std::chrono::milliseconds timeout);

private:
    std::string path_;
    int fd_ = -1;
};

// The dominant frequency in Hz of a mono 16-bit PCM stretch, by counting zero crossings
// (the test signals are pure tones).
double ToneHz(const std::vector<std::int16_t> &pcm, int rate, size_t from, size_t count);
// Decodes an audio file to mono 16-bit PCM at Rate with the ffmpeg command-line tool.
std::vector<std::int16_t> DecodeMono(const std::string &file, int rate);
// Text in lower case (ASCII).
std::string Lower(std::string s);
// ffprobe's duration of a file in seconds; negative when it cannot be read.
double DurationSeconds(const std::string &file);

// Installs the build's programs and their files under prefix with "cmake --install", as a
// user's install would lay them out (programs in bin/, their files in share/fonolux/).
// False with the installer's output in log when it fails.
bool InstallPrograms(const std::string &cmake, const std::string &buildDir, const std::string &prefix,
                     std::string &log);

// The running processes whose executable is exe (an absolute path), by process id.
std::vector<int> ProcessesOf(const std::string &exe);
// A process's command-line arguments, its program first; empty when it is gone.
std::vector<std::string> CommandLine(int pid);
// Ends the processes of exe that this test started indirectly (a program launched by another,
// detached): SIGTERM, then SIGKILL to any still there after a second.
void EndProcessesOf(const std::string &exe);

} // namespace systest
