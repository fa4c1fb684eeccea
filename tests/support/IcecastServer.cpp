#include "IcecastServer.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

std::string randomPassword()
{
    std::random_device random;
    std::string out;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i)
        out += hex[random() % 16];
    return out;
}

} // namespace

const std::string &IcecastServer::SourcePassword()
{
    static const std::string password = randomPassword();
    return password;
}

const std::string &IcecastServer::AdminPassword()
{
    static const std::string password = randomPassword();
    return password;
}

IcecastServer::IcecastServer()
{
    problem_ = missingPeers({"icecast2", "ffmpeg"});
    if (!problem_.empty())
        return;
    const auto logDir = dir_ / "log";
    std::filesystem::create_directories(logDir);
    const bool root = geteuid() == 0;
    if (root) {
        // As root the server drops to its own user, which must be able to write its logs.
        runProgram({"chown", "-R", "icecast2:icecast", dir_.path().string()});
        runProgram({"chmod", "755", dir_.path().string()});
    }
    for (int attempt = 0; attempt < 3 && !ok_; ++attempt) {
        port_ = freePort();
        const auto config = dir_ / "icecast.xml";
        std::ofstream xml(config);
        // It holds the passwords: for its owner's eyes only (the server reads it before it drops
        // to its own user).
        std::filesystem::permissions(config, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        xml << "<icecast>\n"
               "<limits><clients>50</clients><sources>10</sources><queue-size>524288</queue-size>"
               "<client-timeout>30</client-timeout><header-timeout>15</header-timeout>"
               "<source-timeout>5</source-timeout><burst-size>65535</burst-size></limits>\n"
               "<authentication><source-password>"
            << SourcePassword() << "</source-password><admin-user>admin</admin-user><admin-password>" << AdminPassword()
            << "</admin-password></authentication>\n"
               "<hostname>127.0.0.1</hostname>\n"
               "<listen-socket><port>"
            << port_
            << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
               "<fileserve>1</fileserve>\n"
               "<paths><basedir>/usr/share/icecast2</basedir><logdir>"
            << logDir.string()
            << "</logdir><webroot>/usr/share/icecast2/web</webroot>"
               "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
               "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel>"
               "</logging>\n"
               "<security><chroot>0</chroot>";
        if (root)
            xml << "<changeowner><user>icecast2</user><group>icecast</group></changeowner>";
        xml << "</security>\n</icecast>\n";
        xml.close();
        server_ = ChildProcess({"icecast2", "-c", config.string()}, (dir_ / "server.out").string());
        if (waitForPort(port_, std::chrono::seconds(10)))
            ok_ = true;
        else
            server_.stop();
    }
    if (!ok_)
        problem_ = "icecast2 did not start";
}

IcecastServer::~IcecastServer()
{
    sources_.clear(); // stops every source before the server
    server_.stop();
}

std::string IcecastServer::url(const std::string &Mount) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + Mount;
}

bool IcecastServer::startSource(const std::string &Mount, const SourceOptions &o)
{
    std::string codec = "libmp3lame", format = "mp3", type = "audio/mpeg";
    if (o.codec == "aac") {
        codec = "aac";
        format = "adts";
        type = "audio/aac";
    } else if (o.codec == "ogg") {
        codec = "libvorbis";
        format = "ogg";
        type = "application/ogg";
    } else if (o.codec == "opus") {
        codec = "libopus";
        format = "ogg";
        type = "audio/ogg";
    } else if (o.codec == "flac") {
        codec = "flac";
        format = "ogg";
        type = "audio/ogg";
    }
    if (!o.contentType.empty())
        type = o.contentType;
    const std::string headers = "Content-Type: " + type + "\r\nIce-Name: " + o.name + "\r\nIce-Genre: " + o.genre +
                                "\r\nIce-Description: " + o.description + "\r\nIce-Bitrate: " +
                                std::to_string(o.bitrateKbps) + "\r\nIce-Public: 0\r\n";
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi",
                                     "-i", o.lavfi.empty() ? "sine=f=" + std::to_string(o.toneHz) + ":r=" + std::to_string(o.sampleRate) : o.lavfi,
                                     "-ac", std::to_string(o.channels), "-c:a", codec, "-b:a",
                                     std::to_string(o.bitrateKbps) + "k", "-f", format, "-method", "PUT",
                                     "-chunked_post", "0", "-headers", headers,
                                     "http://source:" + SourcePassword() + "@127.0.0.1:" +
                                         std::to_string(port_) + Mount};
    // Ready when the server lists the mount. A source that gives up early (the server was
    // still settling) is started again.
    const std::string log = (dir_ / ("source" + std::to_string(sources_.size()) + ".log")).string();
    sources_.push_back({Mount, std::make_unique<ChildProcess>(argv, log)});
    ChildProcess &process = *sources_.back().process;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
        std::string body;
        if (httpGet(port_, "/admin/listmounts", "admin", AdminPassword(), &body) == 200 &&
            body.find("mount=\"" + Mount + "\"") != std::string::npos)
            return true;
        if (!process.running())
            process = ChildProcess(argv, log);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void IcecastServer::killSource(const std::string &Mount)
{
    for (auto &s : sources_)
        if (s.mount == Mount && s.process)
            s.process->kill();
}

bool IcecastServer::setTitle(const std::string &Mount, const std::string &Title)
{
    return httpGet(port_, "/admin/metadata?mount=" + urlEncode(Mount) + "&mode=updinfo&song=" + urlEncode(Title),
                   "admin", AdminPassword()) == 200;
}

} // namespace testsupport
