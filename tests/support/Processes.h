// Child processes for tests (servers, stream sources, media tools) and a little loopback HTTP.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A program started in the background; stopped (SIGTERM, then SIGKILL after a second) and
// reaped when the object goes away, so a failing test never leaves it running.
class ChildProcess {
public:
    ChildProcess() = default;
    // Starts argv[0] (searched on PATH) with its output sent to LogFile (or /dev/null), in
    // the folder WorkDir when one is given (else in the current one).
    explicit ChildProcess(const std::vector<std::string> &Argv, const std::string &LogFile = "",
                          const std::string &WorkDir = "");
    ~ChildProcess();
    ChildProcess(ChildProcess &&Other) noexcept;
    ChildProcess &operator=(ChildProcess &&Other) noexcept;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends SIGTERM, waits up to a second, then SIGKILL; reaps the child.
    void stop();
    // Sends SIGKILL at once (a source that dies) and reaps the child.
    void kill();
    // Waits for the child to end by itself; its exit code, or -1.
    int wait();

private:
    pid_t pid_ = -1;
};

// Runs a program to completion; its exit code (-1 when it could not run). Output goes to
// /dev/null unless LogFile is given.
int runProgram(const std::vector<std::string> &Argv, const std::string &LogFile = "");

// A free TCP port on 127.0.0.1 (the port is released again before return).
int freePort();

// True once something accepts connections on 127.0.0.1:Port (polled until Timeout).
bool waitForPort(int Port, std::chrono::milliseconds Timeout);

// A plain HTTP/1.0 GET on 127.0.0.1:Port; returns the status code (0 when there was no answer).
// User and Password add Basic authentication.
int httpGet(int Port, const std::string &Path, const std::string &User = "", const std::string &Password = "",
            std::string *Body = nullptr);

// Percent-encodes a query parameter value.
std::string urlEncode(const std::string &Text);

} // namespace testsupport
