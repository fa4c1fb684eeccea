#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

ScriptedServer::ScriptedServer(Script Handler) : handler_(std::move(Handler))
{
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listen_, 16);
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread(&ScriptedServer::run, this);
}

ScriptedServer::~ScriptedServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(workersCS_);
        workers.swap(workers_);
    }
    for (auto &w : workers)
        w.join();
    close(listen_);
}

std::string ScriptedServer::url(const std::string &Path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + Path;
}

void ScriptedServer::run()
{
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept(listen_, nullptr, nullptr);
        if (fd < 0)
            continue;
        ++connections_;
        std::lock_guard<std::mutex> lock(workersCS_);
        workers_.emplace_back([this, fd] {
            handler_(fd, *this);
            close(fd);
        });
    }
}

std::string ScriptedServer::readRequest(int Socket)
{
    std::string req;
    char c;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end && req.size() < 16384) {
        pollfd p{Socket, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        if (recv(Socket, &c, 1, 0) != 1)
            break;
        req += c;
        if (req.size() >= 4 && req.compare(req.size() - 4, 4, "\r\n\r\n") == 0)
            break;
    }
    return req;
}

bool ScriptedServer::sendAll(int Socket, const void *Data, size_t Size)
{
    const char *p = static_cast<const char *>(Data);
    while (Size > 0) {
        ssize_t n = send(Socket, p, Size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        Size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace testsupport
