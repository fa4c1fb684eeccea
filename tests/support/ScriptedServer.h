// A TCP server on 127.0.0.1 that does what a test scripts for each connection: for servers that
// misbehave in ways a real one will not (accept and never answer, a garbage body, a truncated
// stream, a header that never ends). Stops its thread and closes every socket when destroyed.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedServer {
public:
    // Called on the server's thread with the connected socket and the request header read so
    // far ("" when the script wants to read nothing). The socket is closed after it returns.
    // Scripts must return soon after stopping() becomes true.
    using Script = std::function<void(int Socket, ScriptedServer &Server)>;

    explicit ScriptedServer(Script Handler);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    int port() const { return port_; }
    std::string url(const std::string &Path = "/stream") const;
    bool stopping() const { return stop_.load(); }
    int connections() const { return connections_.load(); }

    // Helpers for scripts: read the request header (up to the blank line, at most 2 s); send all
    // of Data (false when the peer went away).
    static std::string readRequest(int Socket);
    static bool sendAll(int Socket, const void *Data, size_t Size);
    static bool sendAll(int Socket, const std::string &Text) { return sendAll(Socket, Text.data(), Text.size()); }

private:
    void run();

    Script handler_;
    int listen_ = -1;
    int port_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
    std::mutex workersCS_;
    std::vector<std::thread> workers_;
};

} // namespace testsupport
