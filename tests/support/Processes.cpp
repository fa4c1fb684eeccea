#include "Processes.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string> &Argv, const std::string &LogFile, const std::string &WorkDir)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = LogFile.empty() ? "/dev/null" : LogFile;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (!WorkDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, WorkDir.c_str());
    std::vector<char *> args;
    for (const auto &a : Argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() { stop(); }

ChildProcess::ChildProcess(ChildProcess &&Other) noexcept : pid_(Other.pid_) { Other.pid_ = -1; }

ChildProcess &ChildProcess::operator=(ChildProcess &&Other) noexcept
{
    if (this != &Other) {
        stop();
        pid_ = Other.pid_;
        Other.pid_ = -1;
    }
    return *this;
}

bool ChildProcess::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return r == 0;
}

void ChildProcess::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
}

void ChildProcess::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

int runProgram(const std::vector<std::string> &Argv, const std::string &LogFile)
{
    ChildProcess child(Argv, LogFile);
    if (child.pid() <= 0)
        return -1;
    return child.wait();
}

int ChildProcess::wait()
{
    if (pid_ <= 0)
        return -1;
    int status = 0;
    pid_t r = waitpid(pid_, &status, 0);
    pid_ = -1;
    if (r <= 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

namespace {
int connectLoopback(int Port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(Port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string base64(const std::string &in)
{
    static const char *t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += t[v >> 18];
        out += t[(v >> 12) & 63];
        out += t[(v >> 6) & 63];
        out += t[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += t[v >> 18];
        out += t[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += t[v >> 18];
        out += t[(v >> 12) & 63];
        out += t[(v >> 6) & 63];
        out += '=';
    }
    return out;
}
} // namespace

bool waitForPort(int Port, std::chrono::milliseconds Timeout)
{
    const auto end = std::chrono::steady_clock::now() + Timeout;
    while (std::chrono::steady_clock::now() < end) {
        int fd = connectLoopback(Port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int httpGet(int Port, const std::string &Path, const std::string &User, const std::string &Password, std::string *Body)
{
    int fd = connectLoopback(Port);
    if (fd < 0)
        return 0;
    std::string req = "GET " + Path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: fonolux-test\r\n";
    if (!User.empty())
        req += "Authorization: Basic " + base64(User + ":" + Password) + "\r\n";
    req += "\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        close(fd);
        return 0;
    }
    std::string reply;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end && reply.size() < (1u << 20)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    int status = 0;
    if (reply.rfind("HTTP/", 0) == 0) {
        size_t sp = reply.find(' ');
        if (sp != std::string::npos)
            status = std::atoi(reply.c_str() + sp + 1);
    }
    if (Body) {
        size_t b = reply.find("\r\n\r\n");
        *Body = b == std::string::npos ? std::string() : reply.substr(b + 4);
    }
    return status;
}

std::string urlEncode(const std::string &Text)
{
    std::string out;
    char hex[4];
    for (unsigned char c : Text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace testsupport
