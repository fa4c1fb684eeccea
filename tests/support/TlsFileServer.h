// A loopback https file server for network tests: the openssl command serves the files of a
// folder over TLS on 127.0.0.1 and a free port, with a throw-away self-signed certificate made
// in a temporary folder of its own. The server process is stopped by PID when the object goes
// away.
//
// The server answers one connection at a time, in HTTP/1.0 without a length (the end of a file
// is the end of the connection), every file as text/plain, and it keeps a connection until the
// client closes it. A client that holds one connection open while it opens another (a playlist
// reader fetching segments) needs the segments on a second server.
#pragma once

#include "Processes.h"
#include "TestSupport.h"

#include <filesystem>
#include <string>

namespace testsupport {

class TlsFileServer {
public:
    // Serves the files in Root (not below it: names only).
    explicit TlsFileServer(const std::filesystem::path &Root);
    ~TlsFileServer();
    TlsFileServer(const TlsFileServer &) = delete;
    TlsFileServer &operator=(const TlsFileServer &) = delete;

    // False when openssl is missing or the server did not come up (tests then fail).
    bool ok() const { return ok_; }
    const std::string &problem() const { return problem_; }
    int port() const { return port_; }
    // "https://127.0.0.1:PORT/Name".
    std::string url(const std::string &Name) const;
    // The server's certificate (PEM), for a client that wants to trust it explicitly.
    std::filesystem::path certificate() const { return dir_ / "cert.pem"; }

private:
    TempDir dir_;
    int port_ = -1;
    bool ok_ = false;
    std::string problem_;
    ChildProcess server_;
};

} // namespace testsupport
