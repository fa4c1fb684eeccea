// TForm1: the desktop's media-player controls on the session bus: commands to the Radio page's handlers, what plays back to the bus.
#include "Main.h"

#include "AuMedia.h"
#include "AuSoundOut.h"
#include "AuTags.h"
#include "Mpris.h"

#include <QComboBox>
#include <QSlider>
#include <QTimer>
#include <QToolButton>

namespace {

bool isReceivingState(TRecState s)
{
    return s == rsPlaying || (s >= rsPrerecStart && s <= rsPrerecTap1);
}

} // namespace

bool TForm1::startDesktopBus()
{
    if (desktopBus_)
        return true;
    MprisHooks hooks;
    hooks.raise = [this] { ActivateFromOtherStart(); };
    // The commands run from the event loop, so that the caller has its answer at once and not
    // only after a connect or a stop that takes seconds.
    hooks.quit = [this] {
        if (!closingNow())
            QTimer::singleShot(0, this, [this] { btnStopClick(); });
    };
    hooks.play = [this] { QTimer::singleShot(0, this, [this] { busPlay(); }); };
    hooks.pause = [this] { QTimer::singleShot(0, this, [this] { busPause(); }); };
    hooks.stop = [this] { QTimer::singleShot(0, this, [this] { busStop(); }); };
    hooks.openUri = [this](const QString &url) { return busOpenUri(url); };
    hooks.setVolume = [this](double volume) { Slider->setValue(MprisSliderFromVolume(volume)); };

    auto *service = new MprisService(std::move(hooks), this);
    if (!service->start()) {
        delete service;
        return false;
    }
    desktopBus_ = service;
    connect(Slider, &QSlider::valueChanged, this, [this] { desktopBusUpdate(); });
    // The stream's title changes without any event of the window; a look five times a second
    // tells the bus within a second of its arrival.
    desktopBusTimer_ = new QTimer(this);
    desktopBusTimer_->setInterval(200);
    connect(desktopBusTimer_, &QTimer::timeout, this, &TForm1::desktopBusUpdate);
    desktopBusTimer_->start();
    desktopBusUpdate();
    return true;
}

void TForm1::stopDesktopBus()
{
    // First thing when the window goes: no bus call may reach a window being torn down.
    delete desktopBusTimer_;
    desktopBusTimer_ = nullptr;
    delete desktopBus_;
    desktopBus_ = nullptr;
}

void TForm1::desktopBusUpdate()
{
    if (!desktopBus_)
        return;
    desktopBus_->setPlaybackStatus(RecState);
    if (RecState == rsIdle || RecState == rsClosing) {
        busTitle_.clear();
        desktopBus_->setNowPlaying(QString(), QString(), QString());
    } else {
        // The live title; while the input is busy opening or closing it reads empty, and the
        // last one seen stays. Before any, the title the stream had when it opened.
        const std::u16string live = WMStreamedIn1->StreamTitle();
        const QString title = QString::fromUtf16(live.data(), static_cast<qsizetype>(live.size())).trimmed();
        if (!title.isEmpty()) {
            busTitle_ = title;
        } else if (busTitle_.isEmpty()) {
            if (TId3v2Tags *tags = WMStreamedIn1->Id3v2Tags()) {
                const std::u16string t = tags->Title();
                busTitle_ = QString::fromUtf16(t.data(), static_cast<qsizetype>(t.size())).trimmed();
            }
        }
        desktopBus_->setNowPlaying(busTitle_, busStation_, busGenre_);
    }
    desktopBus_->setVolumeFromSlider(Slider->value());
}

void TForm1::busPlay()
{
    if (closingNow() || connecting_ || stopping_)
        return;
    if (RecState == rsIdle && BitBtn1->isEnabled())
        BitBtn1Click();
    else if (RecState == rsPlayPaused && BitBtn2->isEnabled())
        BitBtn2Click();
}

void TForm1::busPause()
{
    if (closingNow() || connecting_ || stopping_)
        return;
    // The pause button resumes when the output is not playing; only a playing output pauses.
    if (isReceivingState(RecState) && BitBtn2->isEnabled() && DXAudioOut1->Status() == tosPlaying)
        BitBtn2Click();
}

void TForm1::busStop()
{
    if (closingNow() || stopping_)
        return;
    // While a station connects, Stop gives the connect up as the scheduler's stop does: it ends
    // at its next step instead of starting to play.
    if (connecting_) {
        BitBtn1Click();
        return;
    }
    // The Receive button is off while paused: resume first, as an automatic stop does.
    if (RecState == rsPlayPaused && BitBtn2->isEnabled()) {
        BitBtn2Click();
        WaitPumping(500);
        if (closingNow() || connecting_ || stopping_)
            return;
    }
    if (isReceivingState(RecState) && BitBtn1->isEnabled())
        BitBtn1Click();
}

QString TForm1::busOpenUri(const QString &url)
{
    if (closingNow())
        return QStringLiteral("Fonolux is closing");
    if (connecting_ || stopping_ || RecState == rsRestarting)
        return QStringLiteral("Fonolux is connecting to a station; try again when it plays");
    if (Saving)
        return QStringLiteral("Fonolux is saving a recording; try again when it is saved");
    if (RecState == rsRecording || RecState == rsRecordingPlain || RecState == rsRecordPaused)
        return QStringLiteral("Fonolux is recording; stop the recording first");
    if (RecState == rsIdle && !BitBtn1->isEnabled())
        return QStringLiteral("Fonolux cannot receive now");
    QTimer::singleShot(0, this, [this, url] {
        if (RecState != rsIdle)
            busStop();
        if (RecState != rsIdle || !BitBtn1->isEnabled() || closingNow() || connecting_ || stopping_)
            return;
        // A typed station address: no station of the list selected, the genre stays.
        ComboBox1->setCurrentIndex(-1);
        ComboBox1->setEditText(url);
        ComboBox1Change();
        BitBtn1Click();
    });
    return QString();
}
