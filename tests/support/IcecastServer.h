// A real Icecast server on 127.0.0.1 for network tests, with its own configuration in a
// temporary folder and a free port, plus stream sources fed by the ffmpeg command-line tool.
// Everything it starts is stopped by PID when the object goes away.
#pragma once

#include "Processes.h"
#include "TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct SourceOptions {
    std::string codec = "mp3"; // "mp3", "aac" (ADTS), "ogg" (Vorbis), "opus" (Ogg Opus), "flac" (Ogg FLAC)
    int bitrateKbps = 128;
    int sampleRate = 44100;
    int channels = 2;
    int toneHz = 440;
    // A whole lavfi source description replacing the steady tone (e.g. a tone whose frequency
    // steps every second, so that a recording's position in the broadcast can be read off it).
    std::string lavfi;
    std::string name = "Fonolux Test Radio";
    std::string genre = "Test Tones";
    std::string description = "A steady tone";
    // The Content-Type the mount announces, when not the codec's own (a station that lies).
    std::string contentType;
};

class IcecastServer {
public:
    // Made at random once per test process, so that no other user of the machine can feed or
    // administer a test server with a password known in advance.
    static const std::string &SourcePassword();
    static const std::string &AdminPassword();

    IcecastServer();
    ~IcecastServer();
    IcecastServer(const IcecastServer &) = delete;
    IcecastServer &operator=(const IcecastServer &) = delete;

    // False when icecast2 or ffmpeg is missing or the server did not come up (tests then fail).
    bool ok() const { return ok_; }
    const std::string &problem() const { return problem_; }
    int port() const { return port_; }
    std::string url(const std::string &Mount) const;

    // Starts a source on Mount and waits until listeners can connect (true) or gives up.
    bool startSource(const std::string &Mount, const SourceOptions &Options = {});
    // Kills the mount's source at once (the stream dies mid-way).
    void killSource(const std::string &Mount);
    // Sets the current title through the admin interface; true on HTTP 200.
    bool setTitle(const std::string &Mount, const std::string &Title);

private:
    struct Source {
        std::string mount;
        std::unique_ptr<ChildProcess> process;
    };

    TempDir dir_;
    int port_ = -1;
    bool ok_ = false;
    std::string problem_;
    ChildProcess server_;
    std::vector<Source> sources_;
};

} // namespace testsupport
