// The recorder on the desktop's session bus: the media-player interfaces that media keys, the
// panel's sound menu, lock screens and desktop widgets use to show and control what plays.
//
// MprisService publishes "org.mpris.MediaPlayer2.fonolux" with the object
// "/org/mpris/MediaPlayer2" carrying the interfaces org.mpris.MediaPlayer2 and
// org.mpris.MediaPlayer2.Player. It knows nothing of the window: the window hands it hooks for
// the commands (which go through the Radio page's own handlers, so every rule of receiving and
// recording holds) and tells it the playback status, the title, the station, the genre and the
// volume whenever they change; each change is signalled to the bus at once (PropertiesChanged).
//
// GUI thread only: bus calls arrive through the Qt event loop. Without a session bus (a bare
// console, a CI machine) start() returns false and everything else does nothing, silently.
#pragma once

#include "RecState.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

class QDBusMessage;

// What the bus may ask of the player. Empty hooks are treated as "cannot".
struct MprisHooks {
    std::function<void()> raise;     // show the window as a second start does
    std::function<void()> quit;      // close the program as the window's close does
    std::function<void()> play;      // Receive, when nothing plays; resume when paused
    std::function<void()> pause;     // pause playback (only while playing)
    std::function<void()> stop;      // stop receiving
    // Tune to a stream address (http or https only; the caller checked the scheme). Returns an
    // error text for the caller, or an empty text when the tuning started.
    std::function<QString(const QString &url)> openUri;
    std::function<void(double volume)> setVolume; // 0.0 .. 1.0, already clamped
};

// "Playing" for the playing and recording states, "Paused" for a paused playback, "Stopped"
// otherwise.
QString MprisPlaybackStatus(TRecState state);
// The playback slider's position (-4000 .. 0) as a volume 0.0 .. 1.0 and back (clamped,
// rounded to the nearest slider step).
double MprisVolumeFromSlider(int position);
int MprisSliderFromVolume(double volume);
// True for the addresses OpenUri accepts: http:// and https:// with a host.
bool MprisAcceptsUri(const QString &uri);

class MprisRootAdaptor;
class MprisPlayerAdaptor;

class MprisService : public QObject {
    Q_OBJECT
public:
    static constexpr const char *ServiceName = "org.mpris.MediaPlayer2.fonolux";
    static constexpr const char *ObjectPath = "/org/mpris/MediaPlayer2";

    explicit MprisService(MprisHooks hooks, QObject *parent = nullptr);
    ~MprisService() override;

    // Registers the object and claims the service name on the session bus; false (and nothing
    // published) when there is no bus or the name is taken.
    bool start();
    bool started() const { return started_; }

    // State the window reports. Each setter signals PropertiesChanged when the value changed.
    void setPlaybackStatus(TRecState state);
    void setNowPlaying(const QString &title, const QString &station, const QString &genre);
    void setVolumeFromSlider(int position);

    // Read by the adaptors.
    QString playbackStatus() const { return status_; }
    QVariantMap metadata() const;
    double volume() const { return volume_; }
    const MprisHooks &hooks() const { return hooks_; }

    // Called by the adaptors for the bus's commands.
    void requestVolume(double volume);
    void requestPlayPause();
    void requestOpenUri(const QString &uri, const QDBusMessage &message);

private:
    void changed(const char *interfaceName, const QVariantMap &properties);

    MprisHooks hooks_;
    MprisRootAdaptor *root_ = nullptr;
    MprisPlayerAdaptor *player_ = nullptr;
    bool started_ = false;
    QString status_ = QStringLiteral("Stopped");
    QString title_, station_, genre_;
    int track_ = 0; // a new track id for every new title, as clients expect
    double volume_ = 1.0;
};
