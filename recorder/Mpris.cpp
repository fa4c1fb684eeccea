// The media-player interfaces on the session bus: two adaptors on one object and the state
// they publish.
#include "Mpris.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cmath>

QString MprisPlaybackStatus(TRecState state)
{
    if (IsReceivingState(state))
        return QStringLiteral("Playing");
    return state == rsPlayPaused ? QStringLiteral("Paused") : QStringLiteral("Stopped");
}

double MprisVolumeFromSlider(int position)
{
    return (std::clamp(position, -4000, 0) + 4000) / 4000.0;
}

int MprisSliderFromVolume(double volume)
{
    if (std::isnan(volume))
        volume = 0.0;
    return static_cast<int>(std::lround(std::clamp(volume, 0.0, 1.0) * 4000.0)) - 4000;
}

bool MprisAcceptsUri(const QString &uri)
{
    const QUrl url(uri, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

// org.mpris.MediaPlayer2: the application itself.
class MprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ uriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ mimeTypes)
public:
    explicit MprisRootAdaptor(MprisService *service) : QDBusAbstractAdaptor(service), s(service) {}
    bool canQuit() const { return bool(s->hooks().quit); }
    bool canRaise() const { return bool(s->hooks().raise); }
    bool hasTrackList() const { return false; }
    QString identity() const { return QStringLiteral("Fonolux"); }
    QString desktopEntry() const { return QStringLiteral("fonolux"); }
    QStringList uriSchemes() const { return {QStringLiteral("http"), QStringLiteral("https")}; }
    QStringList mimeTypes() const
    {
        return {QStringLiteral("audio/mpeg"), QStringLiteral("audio/aac"), QStringLiteral("audio/ogg"),
                QStringLiteral("audio/x-mpegurl"), QStringLiteral("audio/x-scpls")};
    }

public slots:
    void Raise()
    {
        if (s->hooks().raise)
            s->hooks().raise();
    }
    void Quit()
    {
        if (s->hooks().quit)
            s->hooks().quit();
    }

private:
    MprisService *s;
};

// org.mpris.MediaPlayer2.Player: playback control and what plays.
class MprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ no)
    Q_PROPERTY(bool CanGoPrevious READ no)
    Q_PROPERTY(bool CanPlay READ canControl)
    Q_PROPERTY(bool CanPause READ canControl)
    Q_PROPERTY(bool CanSeek READ no)
    Q_PROPERTY(bool CanControl READ canControl)
public:
    explicit MprisPlayerAdaptor(MprisService *service) : QDBusAbstractAdaptor(service), s(service) {}
    QString playbackStatus() const { return s->playbackStatus(); }
    double rate() const { return 1.0; }
    void setRate(double) {}
    QVariantMap metadata() const { return s->metadata(); }
    double volume() const { return s->volume(); }
    void setVolume(double v) { s->requestVolume(v); }
    qlonglong position() const { return 0; }
    bool no() const { return false; }
    bool canControl() const { return true; }

public slots:
    void Play()
    {
        if (s->hooks().play)
            s->hooks().play();
    }
    void Pause()
    {
        if (s->hooks().pause)
            s->hooks().pause();
    }
    void PlayPause() { s->requestPlayPause(); }
    void Stop()
    {
        if (s->hooks().stop)
            s->hooks().stop();
    }
    void Next() {}
    void Previous() {}
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath &, qlonglong) {}
    void OpenUri(const QString &uri, const QDBusMessage &message) { s->requestOpenUri(uri, message); }

private:
    MprisService *s;
};

MprisService::MprisService(MprisHooks hooks, QObject *parent)
    : QObject(parent), hooks_(std::move(hooks)), root_(new MprisRootAdaptor(this)),
      player_(new MprisPlayerAdaptor(this))
{
}

MprisService::~MprisService()
{
    if (started_) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterService(QLatin1String(ServiceName));
        bus.unregisterObject(QLatin1String(ObjectPath));
    }
}

bool MprisService::start()
{
    if (started_)
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!bus.registerObject(QLatin1String(ObjectPath), this, QDBusConnection::ExportAdaptors))
        return false;
    if (!bus.registerService(QLatin1String(ServiceName))) {
        bus.unregisterObject(QLatin1String(ObjectPath));
        return false;
    }
    started_ = true;
    return true;
}

QVariantMap MprisService::metadata() const
{
    QVariantMap m;
    m.insert(QStringLiteral("mpris:trackid"),
             QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/fonolux/track/%1").arg(track_))));
    if (!title_.isEmpty())
        m.insert(QStringLiteral("xesam:title"), title_);
    if (!station_.isEmpty())
        m.insert(QStringLiteral("xesam:artist"), QStringList{station_});
    if (!genre_.isEmpty())
        m.insert(QStringLiteral("xesam:album"), genre_);
    return m;
}

void MprisService::setPlaybackStatus(TRecState state)
{
    const QString status = MprisPlaybackStatus(state);
    if (status == status_)
        return;
    status_ = status;
    changed("org.mpris.MediaPlayer2.Player", {{QStringLiteral("PlaybackStatus"), status_}});
}

void MprisService::setNowPlaying(const QString &title, const QString &station, const QString &genre)
{
    if (title == title_ && station == station_ && genre == genre_)
        return;
    if (title != title_ || station != station_)
        ++track_;
    title_ = title;
    station_ = station;
    genre_ = genre;
    changed("org.mpris.MediaPlayer2.Player", {{QStringLiteral("Metadata"), metadata()}});
}

void MprisService::setVolumeFromSlider(int position)
{
    const double v = MprisVolumeFromSlider(position);
    if (v == volume_)
        return;
    volume_ = v;
    changed("org.mpris.MediaPlayer2.Player", {{QStringLiteral("Volume"), volume_}});
}

void MprisService::requestVolume(double volume)
{
    // The slider's own scale decides: the window moves the slider, and its change handler
    // reports the resulting volume back through setVolumeFromSlider.
    const int position = MprisSliderFromVolume(volume);
    if (hooks_.setVolume)
        hooks_.setVolume(MprisVolumeFromSlider(position));
}

void MprisService::requestPlayPause()
{
    if (status_ == QLatin1String("Playing")) {
        if (hooks_.pause)
            hooks_.pause();
    } else if (hooks_.play) {
        hooks_.play();
    }
}

void MprisService::requestOpenUri(const QString &uri, const QDBusMessage &message)
{
    QString error;
    if (!MprisAcceptsUri(uri))
        error = QStringLiteral("Only http and https stream addresses can be opened: %1").arg(uri);
    else if (!hooks_.openUri)
        error = QStringLiteral("Opening addresses is not supported");
    else
        error = hooks_.openUri(uri);
    if (!error.isEmpty() && message.type() == QDBusMessage::MethodCallMessage) {
        message.setDelayedReply(true);
        QDBusConnection::sessionBus().send(
            message.createErrorReply(QStringLiteral("org.mpris.MediaPlayer2.Player.Error.InvalidUri"), error));
    }
}

void MprisService::changed(const char *interfaceName, const QVariantMap &properties)
{
    if (!started_)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(ObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(interfaceName) << properties << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

#include "Mpris.moc"
