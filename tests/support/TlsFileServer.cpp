#include "TlsFileServer.h"

namespace testsupport {

TlsFileServer::TlsFileServer(const std::filesystem::path &Root)
{
    if (!haveProgram("openssl")) {
        problem_ = missingPeers({"openssl"});
        return;
    }
    // An elliptic-curve key is made in milliseconds; RSA keys take a noticeable while.
    const std::string key = (dir_ / "key.pem").string(), cert = certificate().string();
    if (runProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                    "subjectAltName=IP:127.0.0.1"},
                   (dir_ / "req.log").string()) != 0) {
        problem_ = "openssl could not make a certificate";
        return;
    }
    // The port is free when chosen but may be taken before the server binds it: try again.
    for (int attempt = 0; attempt < 3 && !ok_; ++attempt) {
        port_ = freePort();
        server_ = ChildProcess({"openssl", "s_server", "-quiet", "-accept", "127.0.0.1:" + std::to_string(port_),
                                "-cert", cert, "-key", key, "-WWW"},
                               (dir_ / "server.log").string(), Root.string());
        if (waitForPort(port_, std::chrono::seconds(5)) && server_.running())
            ok_ = true;
        else
            server_.stop();
    }
    if (!ok_)
        problem_ = "openssl s_server did not start";
}

TlsFileServer::~TlsFileServer() { server_.stop(); }

std::string TlsFileServer::url(const std::string &Name) const
{
    return "https://127.0.0.1:" + std::to_string(port_) + "/" + Name;
}

} // namespace testsupport
