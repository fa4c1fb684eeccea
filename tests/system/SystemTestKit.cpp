#include "SystemTestKit.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace systest {

namespace {

std::string Capture(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

} // namespace

Display::Display()
{
    for (int n = 90; n < 140 && !ok_; ++n) {
        if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
            std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock"))
            continue;
        name_ = ":" + std::to_string(n);
        xvfb_ = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"Xvfb", name_, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        for (int i = 0; i < 100 && !ok_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ok_ = std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n));
            if (!xvfb_->running())
                break;
        }
    }
    if (!ok_)
        return;
    setenv("DISPLAY", name_.c_str(), 1);
    // Dialogs stack over their parents only under a window manager.
    wm_ = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{"openbox"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

Display::~Display() = default;

void Home::enter(const std::string &display) const
{
    const std::string h = path();
    std::filesystem::create_directories(h + "/.config");
    std::filesystem::create_directories(h + "/.local/share");
    std::filesystem::create_directories(h + "/Music");
    std::filesystem::create_directories(h + "/runtime");
    std::filesystem::permissions(h + "/runtime", std::filesystem::perms::owner_all);
    setenv("HOME", h.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (h + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (h + "/.local/share").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (h + "/runtime").c_str(), 1);
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", (h + "/played.raw").c_str(), 1);
    setenv("FONOLUX_TEST_DRIVER", (h + "/drive").c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

bool Driver::connect(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            return true;
        ::close(fd_);
        fd_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::string Driver::send(const std::string &line)
{
    if (fd_ < 0)
        return "error not connected";
    const std::string out = line + "\n";
    if (::write(fd_, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
        return "error write failed";
    std::string answer;
    char c;
    // The program answers from its event loop; a program that hangs fails the read's timeout.
    timeval tv{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    while (::read(fd_, &c, 1) == 1 && c != '\n')
        answer += c;
    return answer;
}

std::string Driver::must(const std::string &line)
{
    const std::string a = send(line);
    EXPECT_EQ(a.rfind("ok", 0), 0u) << line << " -> " << a;
    return a.size() > 3 ? a.substr(3) : std::string();
}

std::string Driver::waitFor(const std::string &name, const std::string &property,
                            const std::function<bool(const std::string &)> &pred, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string v;
    do {
        const std::string a = send("get " + name + " " + property);
        v = a.size() > 3 ? a.substr(3) : a;
        if (a.rfind("ok", 0) == 0 && pred(v))
            return v;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < end);
    return v;
}

double ToneHz(const std::vector<std::int16_t> &pcm, int rate, size_t from, size_t count)
{
    if (from >= pcm.size())
        return 0;
    count = std::min(count, pcm.size() - from);
    int crossings = 0;
    for (size_t i = from + 1; i < from + count; ++i)
        if ((pcm[i - 1] < 0) != (pcm[i] < 0))
            ++crossings;
    return count ? crossings * rate / (2.0 * static_cast<double>(count)) : 0;
}

std::vector<std::int16_t> DecodeMono(const std::string &file, int rate)
{
    const std::string raw = Capture("ffmpeg -nostdin -v error -i '" + file + "' -ac 1 -ar " + std::to_string(rate) +
                                    " -f s16le - 2>/dev/null");
    std::vector<std::int16_t> pcm(raw.size() / 2);
    std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
    return pcm;
}

std::string Lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

double DurationSeconds(const std::string &file)
{
    const std::string out = Capture("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'");
    return out.empty() ? -1 : std::atof(out.c_str());
}

bool InstallPrograms(const std::string &cmake, const std::string &buildDir, const std::string &prefix,
                     std::string &log)
{
    const std::string logFile = prefix + ".log";
    const int rc = testsupport::runProgram({cmake, "--install", buildDir, "--prefix", prefix}, logFile);
    std::ifstream in(logFile);
    log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return rc == 0;
}

std::vector<int> ProcessesOf(const std::string &exe)
{
    std::vector<int> pids;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0])))
            continue;
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(e.path() / "exe", linkError);
        if (!linkError && target == exe)
            pids.push_back(std::atoi(name.c_str()));
    }
    return pids;
}

std::vector<std::string> CommandLine(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0'))
        args.push_back(arg);
    return args;
}

void EndProcessesOf(const std::string &exe)
{
    const std::vector<int> pids = ProcessesOf(exe);
    for (int pid : pids)
        ::kill(pid, SIGTERM);
    for (int i = 0; i < 20 && !ProcessesOf(exe).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int pid : ProcessesOf(exe))
        ::kill(pid, SIGKILL);
}

} // namespace systest
