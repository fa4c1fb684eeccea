// TForm1: the audio components, receiving and playing a station, pause, volume, the chain's events.
#include "Main.h"

#include "AuConverters.h"
#include "AuIndicators.h"
#include "AuLame.h"
#include "AuMedia.h"
#include "AuMixer.h"
#include "AuSoundOut.h"
#include "AuTags.h"
#include "ButtonPictures.h"
#include "LevelMeter.h"
#include "findurl.h"
#include "MainComponents.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QToolButton>

#include <atomic>
#include <limits>
#include <thread>

namespace {

template <class T>
T *named(std::unique_ptr<T> &slot, const char *name)
{
    slot = std::make_unique<T>();
    slot->SetName(name);
    return slot.get();
}

QString fromUtf16(const std::u16string &s)
{
    return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

// The components start with the settings' defaults, which the settings then override.
std::uint32_t defaultOf(TSettingId id)
{
    return static_cast<std::uint32_t>(Setting(id).DefaultNumber());
}

} // namespace

void TForm1::createAudioComponents()
{
    audio_ = std::make_unique<TAudioComponents>();
    TAudioComponents &a = *audio_;

    WMStreamedIn1 = named(a.WMStreamedIn1, "WMStreamedIn1");
    WMStreamedIn1->SetLoop(false);
    WMStreamedIn1->SetBufferingTime(1);
    WMStreamedIn1->SetEnableHTTP(true);
    WMStreamedIn1->SetEnableTCP(true);
    WMStreamedIn1->SetEnableUDP(true);
    WMStreamedIn1->SetMaxWaitMilliseconds(defaultOf(TSettingId::StrMinMs));
    WMStreamedIn1->SetProxyPort(0);
    WMStreamedIn1->SetStretchFactor(1.0f);
    WMStreamedIn1->SetOnStreamOpened([this](TComponent *s) { WMStreamedIn1StreamOpened(s); });
    WMStreamedIn1->SetOnStartedPlaying([this](TComponent *s) { WMStreamedIn1StartedPlaying(s); });
    packetRing_ = std::make_shared<TPacketRing>();
    WMStreamedIn1->SetPacketSink(packetRing_);

    FastResampler1 = named(a.FastResampler1, "FastResampler1");
    FastResampler1->SetOutSampleRate(defaultOf(TSettingId::SampleRate));
    FastResampler1->SetInput(WMStreamedIn1);

    for (TWMATap *tap : {named(a.WMATap1, "WMATap1"), named(a.WMATap2, "WMATap2")}) {
        tap->SetDesiredBitrate(defaultOf(TSettingId::TapBitRate));
        tap->SetLossless(false);
        tap->SetVBR(false);
        tap->SetVBRQuality(0);
        tap->SetOnOutputError([this](TComponent *s, std::uint32_t reason) { WMATap1OutputError(s, reason); });
    }
    WMATap1 = a.WMATap1.get();
    WMATap2 = a.WMATap2.get();
    WMATap1->SetInput(FastResampler1);
    WMATap2->SetInput(WMATap1);

    FastGainIndicator1 = named(a.FastGainIndicator1, "FastGainIndicator1");
    FastGainIndicator1->SetInterval(defaultOf(TSettingId::GainInterval));
    FastGainIndicator1->SetInput(WMATap2);
    FastGainIndicator1->SetOnGainData([this](TComponent *s) { GainIndicator1GainData(s); });

    DXAudioOut1 = named(a.DXAudioOut1, "DXAudioOut1");
    DXAudioOut1->SetDeviceNumber(0);
    DXAudioOut1->SetLatency(defaultOf(TSettingId::DxLatency));
    DXAudioOut1->SetPollingInterval(defaultOf(TSettingId::DxPolling));
    DXAudioOut1->SetFramesInBuffer(defaultOf(TSettingId::DxFrames));
    DXAudioOut1->SetPrefetchData(false);
    DXAudioOut1->SetSpeedFactor(1.0f);
    DXAudioOut1->SetInput(FastGainIndicator1);
    DXAudioOut1->SetOnDone([this](TComponent *s) { DXAudioOut1Done(s); });
    DXAudioOut1->SetOnThreadException([this](TComponent *s) { DXAudioOut1ThreadException(s); });
    DXAudioOut1->SetOnUnderrun([this](TComponent *s) { DXAudioOut1Underrun(s); });

    for (TWMIn *in : {named(a.WMIn1, "WMIn1"), named(a.WMIn2, "WMIn2")}) {
        in->SetLoop(false);
        in->SetEndSample(-1);
        in->SetHighPrecision(false);
        in->SetOutputChannels(cnMonoOrStereo);
    }
    WMIn1 = a.WMIn1.get();
    WMIn2 = a.WMIn2.get();

    AudioMixer1 = named(a.AudioMixer1, "AudioMixer1");
    AudioMixer1->SetMode(amConcatenate);
    AudioMixer1->SetVolume1(65535);
    AudioMixer1->SetVolume2(65535);
    AudioMixer1->SetInput1(WMIn1);
    AudioMixer1->SetInput2(WMIn2);

    MP3Out1 = named(a.MP3Out1, "MP3Out1");
    MP3Out1->SetShareMode(0);
    MP3Out1->SetBitRate(static_cast<TMP3BitRate>(Setting(TSettingId::Mp3BitRate).DefaultNumber()));
    MP3Out1->SetOriginal(false);
    MP3Out1->SetEnableBitReservoir(true);
    MP3Out1->SetStrictISO(false);
    MP3Out1->SetVBRQuality(mp3ql0);
    MP3Out1->SetEnableVBR(false);
    MP3Out1->SetAverageBitrate(mbrAuto);
    MP3Out1->SetMaximumBitrate(mbrAuto);
    MP3Out1->SetInput(AudioMixer1);
    MP3Out1->SetOnDone([this](TComponent *s) { MP3Out1Done(s); });
    MP3Out1->SetOnThreadException([this](TComponent *s) { MP3Out1ThreadException(s); });
}

void TForm1::destroyAudioComponents()
{
    audio_.reset();
    WMStreamedIn1 = nullptr;
    FastResampler1 = nullptr;
    WMATap1 = WMATap2 = nullptr;
    FastGainIndicator1 = nullptr;
    DXAudioOut1 = nullptr;
    WMIn1 = WMIn2 = nullptr;
    AudioMixer1 = nullptr;
    MP3Out1 = nullptr;
}

bool TForm1::staleEvent(TComponent *Sender) const
{
    // Each component numbers its runs (openings, recordings); an event queued under an earlier
    // number belongs to a run that a later connect, restart or save has replaced. The level
    // indicator does not number its reports: they are taken as the current run's.
    if (Sender == WMStreamedIn1)
        return WMStreamedIn1->EventRun() != WMStreamedIn1->RunNumber();
    if (Sender == DXAudioOut1)
        return DXAudioOut1->EventRun() != DXAudioOut1->RunNumber();
    if (Sender == MP3Out1)
        return MP3Out1->EventRun() != MP3Out1->RunNumber();
    for (const TWMATap *tap : {WMATap1, WMATap2})
        if (Sender == tap)
            return tap->EventRun() != tap->RunNumber();
    return false;
}

bool TForm1::receivingNow() const
{
    return IsReceivingState(RecState) && !stopping_ && !connecting_;
}

void TForm1::showFailure(const QString &status, const QString &reason)
{
    heldStatus_ = status;
    Label14->setText(status);
    report(reason, ui::Report::Notice);
}

QString TForm1::connectFailureReason(const QString &Fallback)
{
    const QString detail = QString::fromStdString(WMStreamedIn1->ErrorDetail());
    if (!detail.isEmpty())
        return detail;
    QString msg = QString::fromStdString(WMStreamedIn1->ErrorMsg());
    if (msg.isEmpty())
        msg = Fallback;
    return msg.isEmpty() ? QString()
                         : DisplayAddress(QString::fromStdString(WMStreamedIn1->FileName())) + QStringLiteral(": ") + msg;
}

void TForm1::SliderChange()
{
    DXAudioOut1->SetVolume(Slider->value());
}

void TForm1::disableForStart()
{
    for (QWidget *w : std::initializer_list<QWidget *>{ToolButton1, ToolButton2, ToolButton3, edTempDir, btnStop})
        w->setEnabled(false);
    PageControl1->setTabEnabled(PageControl1->indexOf(tsAddStn), false);
    BitBtn1->setEnabled(false);
}

void TForm1::BitBtn1Click()
{
    if (connecting_) {
        // A stop asked for while connecting (the scheduler, closing): the connect gives up at
        // its next step.
        abortConnect_ = true;
        return;
    }
    if (stopping_)
        return;
    disableForStart();
    QCoreApplication::processEvents();
    PrerecOnFlow = cbPreRec->isChecked();
    if (RecState == rsIdle)
        connectStation();
    else
        stopReceiving();
}

void TForm1::connectStation()
{
    connecting_ = true;
    abortConnect_ = false;
    heldStatus_.clear(); // a failure shown until now gives way to this connect
    const std::uint32_t began = tickNow();
    setCursor(Qt::BusyCursor);
    edUndRun->setText(QStringLiteral("00"));
    playtime->setText(QStringLiteral("0:00:00"));
    BitBtn1->setToolTip(QStringLiteral("Stop Receive & Play"));
    Label14->setText(QStringLiteral("Connecting..."));
    setMarqueeText(QString());
    setWindowTitle(QStringLiteral("RADIO Fonolux"));
    Label1->clear();
    Label4->clear();
    Label8->clear();

    {
        const QSignalBlocker block(edPreRec);
        edPreRec->setText(QString::number(PrerecMs / 1000));
    }
    edPreRec->setEnabled(false);
    cbPreRec->setEnabled(false);
    RecClock.Zero();
    PlayClock.Zero();

    if (ComboBox1->currentText().isEmpty()) {
        report(QStringLiteral("Select Station Please"));
        Label14->setText(QStringLiteral("Error: Select Station"));
        BitBtn1->setToolTip(QStringLiteral("Start Receive & Play"));
        cbPreRec->setEnabled(true);
        edPreRec->setEnabled(true);
        connecting_ = false;
        endis();
        unsetCursor();
        return;
    }

    // What the desktop's player controls show for this connection.
    busStation_ = ComboBox1->currentText();
    busGenre_ = cbgnr->currentText();
    busTitle_.clear();

    const QString address = ComboBox1->currentIndex() == -1
                                ? ResolveStreamUrl(ComboBox1->currentText())
                                : ResolveStreamUrl(StationUrl(cbgnr->currentText(), ComboBox1->currentText()));
    if (abortConnect_ || closingNow()) {
        abandonConnect();
        return;
    }
    if (!playlistRefusal_.isEmpty()) {
        const QString status = playlistRefusal_;
        const QString why = playlistReason_.isEmpty() ? status : playlistReason_;
        abandonConnect();
        showFailure(status, why);
        return;
    }
    WMStreamedIn1->SetFileName(address.toStdString());

    for (QWidget *w : std::initializer_list<QWidget *>{ToolButton1, ToolButton2, ToolButton3, edTempDir})
        w->setEnabled(false);
    setStatusPanelText(DisplayAddress(QString::fromStdString(WMStreamedIn1->FileName())));
    SliderChange();
    QCoreApplication::processEvents();
    Label14->setText(QStringLiteral("initializing"));
    WaitPumping(10);

    // The whole connect, playlist fetch included, waits at most MaxWaitMilliseconds.
    const std::uint32_t maxWait = WMStreamedIn1->MaxWaitMilliseconds();
    const std::uint32_t spent = tickNow() - began;
    WMStreamedIn1->SetMaxWaitMilliseconds(spent + 1000 < maxWait ? maxWait - spent : 1000);
    // The open blocks for up to that long; it runs on a thread of its own (the input guards it
    // with its open lock) while the window goes on processing its events, so it repaints,
    // answers and can be closed meanwhile.
    bool hasAudio = false;
    bool raised = false;
    QString raisedText;
    std::atomic<bool> opened{false};
    std::thread opener([&] {
        try {
            hasAudio = WMStreamedIn1->HasAudio();
        } catch (const std::exception &e) {
            raised = true;
            raisedText = QString::fromUtf8(e.what());
        } catch (...) {
            raised = true;
        }
        opened = true;
    });
    WaitPumpingUntil([&] { return opened.load(); }, std::numeric_limits<std::uint32_t>::max());
    opener.join();
    WMStreamedIn1->SetMaxWaitMilliseconds(maxWait);
    if (raised || abortConnect_ || closingNow()) {
        // The reason is taken before the input is reset for the next connect.
        const bool failed = raised && !abortConnect_ && !closingNow();
        const QString why = failed ? connectFailureReason(raisedText) : QString();
        abandonConnect();
        if (failed)
            showFailure(QStringLiteral("Error: Can't Connect"), why);
        return;
    }
    if (!hasAudio) {
        unsetCursor();
        const QString why = connectFailureReason(QStringLiteral("not an audio stream"));
        abandonConnect();
        showFailure(QStringLiteral("Can't connect..."), why);
        return;
    }

    runError_.clear();
    try {
        DXAudioOut1->Run();
    } catch (const std::exception &e) {
        const QString why = QString::fromUtf8(e.what());
        abandonConnect();
        showFailure(QStringLiteral("Error: Can't Play"), why);
        return;
    }
    QCoreApplication::processEvents();

    QString title;
    if (TId3v2Tags *tags = WMStreamedIn1->Id3v2Tags())
        title = fromUtf16(tags->Title()).trimmed();
    setMarqueeText(cbgnr->currentText() + QStringLiteral(": ") + title);
    if (!marqueeText().isEmpty())
        setWindowTitle(QStringLiteral("RADIO: ") + marqueeText());
    // The station's own format, before resampling.
    Label1->setText(QString::number(WMStreamedIn1->Bitrate() / 1000) + QStringLiteral(" kbps"));
    Label4->setText(QString::number(WMStreamedIn1->SampleRate()) + QStringLiteral(" Hz"));
    Label8->setText(WMStreamedIn1->Channels() == 1 ? QStringLiteral("Mono") : QStringLiteral("Stereo"));
    connecting_ = false;
    if (abortConnect_ && !closingNow()) {
        // Stopped while the last steps ran: stop now.
        abortConnect_ = false;
        stopReceiving();
    }
}

void TForm1::abandonConnect()
{
    // While closing, the close itself stops everything; an automatic stop's 20-second tail
    // would only hold the window open.
    if (autoStop && !closingNow())
        autoStop();
    BitBtn1->setToolTip(QStringLiteral("Start Receive & Play"));
    setButtonPicture(BitBtn1, bpStart);
    DXAudioOut1->Stop(true);
    WMStreamedIn1->Reset();
    unsetCursor();
    if (RecState != rsRestarting && RecState != rsClosing)
        RecState = rsIdle;
    connecting_ = false;
    abortConnect_ = false;
    endis();
}

void TForm1::stopReceiving()
{
    stopping_ = true;
    BitBtn1->setToolTip(QStringLiteral("Start Receive & Play"));
    if (PrerecRunning)
        stopprerec();
    setButtonPicture(BitBtn1, bpStart);
    DXAudioOut1->Stop(true);
    WaitPumping(2);
    setCursor(Qt::BusyCursor);
    // After an automatic stop (StopMark recent) the loop lasts until 20 s after it; after a
    // press it ends as soon as the output is idle.
    const std::uint32_t began = tickNow();
    while (DXAudioOut1->Status() != tosIdle || tickNow() - StopMark <= 20000) {
        BitBtn1->setEnabled(false);
        DXAudioOut1->Stop(true);
        WaitPumping(3);
        if (tickNow() - began > 60000)
            break; // an output that never ends must not hold the window for ever
    }
    Label14->setText(QStringLiteral("Stopped"));
    QCoreApplication::processEvents();
    if (RecState != rsClosing)
        RecState = rsIdle;
    stopping_ = false;
    endis();
    unsetCursor();
}

void TForm1::BitBtn2Click()
{
    if (DXAudioOut1->Status() == tosPlaying) {
        BitBtn2->setToolTip(QStringLiteral("Resume Receive & Play"));
        ResumeState = (RecState >= rsPrerecStart && RecState <= rsPrerecTap1) ? rsPrerecStart : RecState;
        stopprerec();
        RecState = rsPlayPaused;
        DXAudioOut1->Pause();
        Label14->setText(QStringLiteral("Play Paused"));
        setButtonPicture(BitBtn2, bpStart);
    } else {
        BitBtn2->setToolTip(QStringLiteral("Pause Receive & Play"));
        DXAudioOut1->Resume();
        StartPrerec();
        setButtonPicture(BitBtn2, bpPause);
        // A fresh ring starts from its first segment. When it could not start yet (a tap still
        // closing its file), playing goes on and the ring starts at a later level report.
        if (PrerecRunning) {
            RecState = rsPrerecStart;
        } else if (ResumeState == rsPrerecStart) {
            RecState = rsPlaying;
            PrerecOnFlow = true;
        } else {
            RecState = ResumeState;
        }
    }
    endis();
}

QString TForm1::ResolveStreamUrl(const QString &Address)
{
    playlistRefusal_.clear();
    playlistReason_.clear();
    QString text;
    QString refused;
    const bool wholeText = FetchUrlText(Address, text, &refused);
    if (!refused.isEmpty()) {
        // The server failed the check (its certificate, a downgrade): the stream input must not
        // open the same address unchecked.
        playlistRefusal_ = QStringLiteral("Error: Can't Connect");
        playlistReason_ = refused;
        return TrimAddress(Address);
    }
    if (!wholeText)
        return TrimAddress(Address);
    const TPlaylistResult r = PlaylistStreamUrl(text, Address);
    playlistRefusal_ = r.Refusal;
    return r.Refusal.isEmpty() ? r.Url : TrimAddress(Address);
}

bool TForm1::FetchUrlText(const QString &Address, QString &Text, QString *Refusal)
{
    const QString agent = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return ::FetchUrlText(Address, Text, agent, WMStreamedIn1->MaxWaitMilliseconds(),
                          [this] { WaitPumping(5); }, Refusal);
}

void TForm1::WMStreamedIn1StreamOpened(TComponent *Sender)
{
    if (staleEvent(Sender))
        return;
    if (WMStreamedIn1->ErrorMsg().empty()) {
        Label14->setText(QStringLiteral("Stream Opened..."));
        return;
    }
    showFailure(QStringLiteral("Error: Can't Connect"), connectFailureReason(QString()));
    // Inside a connect the connect itself abandons the attempt once its open returns.
    if (connecting_)
        return;
    BitBtn1->setToolTip(QStringLiteral("Start Receive & Play"));
    setButtonPicture(BitBtn1, bpStart);
    DXAudioOut1->Stop(true);
    BitBtn1->setEnabled(true);
    WMStreamedIn1->Reset();
    if (RecState != rsRestarting && RecState != rsClosing)
        RecState = rsIdle;
    endis();
}

void TForm1::WMStreamedIn1StartedPlaying(TComponent *Sender)
{
    if (staleEvent(Sender) || closingNow())
        return;
    if (!WMStreamedIn1->ErrorMsg().empty()) {
        showFailure(QStringLiteral("Error: Can't Play"), connectFailureReason(QString()));
        BitBtn1->setToolTip(QStringLiteral("Start Receive & Play"));
        setButtonPicture(BitBtn1, bpStart);
        DXAudioOut1->Stop(true);
        BitBtn1->setEnabled(true);
        if (!connecting_)
            WMStreamedIn1->Reset();
        if (PrerecRunning)
            stopprerec();
        RecState = rsIdle;
        endis();
        return;
    }
    DXAudioOut1->SetVolume(Slider->value());
    QCoreApplication::processEvents();
    if (TId3v2Tags *tags = WMStreamedIn1->Id3v2Tags()) {
        WMATap1->SetId3v2Tags(tags);
        WMATap2->SetId3v2Tags(tags);
    }
    QCoreApplication::processEvents();
    SliderChange();
    PlayClock.BaseTick = tickNow();
    // A new connection's first stall watch must not find the previous run's last report.
    LastGainTick = tickNow();
    if (PrerecRunning) {
        // A stall restart already resumed the ring; it goes on from its first segment.
        return;
    }
    RecState = rsPlaying;
    PrerecOnFlow = cbPreRec->isChecked();
}

void TForm1::DXAudioOut1Done(TComponent *Sender)
{
    if (staleEvent(Sender))
        return;
    ProgressBar2->setValue(ProgressBar2->minimum());
    // A run that ended by itself while receiving: the station stopped sending (or the output
    // failed). Said until the stall watch restarts it or the user acts.
    if (!receivingNow())
        return;
    if (!runError_.isEmpty()) {
        Label14->setText(QStringLiteral("Error: Playback Stopped"));
        return;
    }
    Label14->setText(QStringLiteral("Stream Ended"));
    report(QStringLiteral("The station stopped sending: ") +
               DisplayAddress(QString::fromStdString(WMStreamedIn1->FileName())),
           ui::Report::Notice);
}

void TForm1::DXAudioOut1ThreadException(TComponent *Sender)
{
    if (staleEvent(Sender))
        return;
    runError_ = QString::fromStdString(DXAudioOut1->ExceptionMessage());
    // A failure already shown (a reconnect refused, with the input's own reason) keeps its
    // more telling words.
    if (RecState == rsIdle && !heldStatus_.isEmpty())
        return;
    report(runError_, ui::Report::Notice);
}

void TForm1::DXAudioOut1Underrun(TComponent *Sender)
{
    if (staleEvent(Sender))
        return;
    edUndRun->setText(QString::number(DXAudioOut1->Underruns()));
}

void TForm1::WMATap1OutputError(TComponent *Sender, std::uint32_t Reason)
{
    // On the writer's thread the tap marks the recording the error belongs to.
    if (staleEvent(Sender))
        return;
    // The writer's thread: only the text is made here; the window shows it on its own thread
    // without the writer waiting for the message box.
    const QString text = QStringLiteral("Error#") + QString::number(Reason) + QLatin1Char(' ') +
                         QString::fromStdString(Sender ? Sender->Name() : std::string());
    QMetaObject::invokeMethod(this, [this, text] { report(text); }, Qt::QueuedConnection);
}

void TForm1::applyComponentSettings()
{
    // A value outside its setting's range (zero would stall a component) takes the default.
    auto value = [this](TSettingId id) {
        return static_cast<std::uint32_t>(SettingValue(id, numericField(id)->text()));
    };
    WMStreamedIn1->SetMaxWaitMilliseconds(value(TSettingId::StrMinMs));
    FastResampler1->SetOutSampleRate(value(TSettingId::SampleRate));
    WMATap1->SetDesiredBitrate(value(TSettingId::TapBitRate));
    WMATap2->SetDesiredBitrate(value(TSettingId::TapBitRate));
    FastGainIndicator1->SetInterval(value(TSettingId::GainInterval));
    DXAudioOut1->SetLatency(value(TSettingId::DxLatency));
    DXAudioOut1->SetPollingInterval(value(TSettingId::DxPolling));
    DXAudioOut1->SetFramesInBuffer(value(TSettingId::DxFrames));
    const int bitrate = cmmbr->currentIndex();
    MP3Out1->SetBitRate(static_cast<TMP3BitRate>(
        bitrate >= 0 && bitrate <= mbr320 ? bitrate : Setting(TSettingId::Mp3BitRate).DefaultNumber()));
}
