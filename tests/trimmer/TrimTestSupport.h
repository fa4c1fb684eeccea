// Shared set-up for the trimmer's window tests: one QApplication and one window-thread
// dispatcher per test program, a private configuration folder per test, captured message
// boxes, MP3 files made with ffmpeg and lame, and screenshots.
#pragma once

#include "AudioPeers.h"
#include "QtWindowDispatcher.h"
#include "SelectionLayers.h"
#include "TestSupport.h"
#include "TrimMain.h"
#include "UserMessages.h"
#include "WebPane.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTest>
#include <QWidget>

#include <cstdio>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

inline QApplication &testApp()
{
    static int argc = 1;
    static char name[] = "trimmer-test";
    static char *argv[] = {name, nullptr};
    // Never destroyed: tearing Qt down during static destruction crashes at exit.
    static QApplication *app = new QApplication(argc, argv);
    static TQtWindowDispatcherScope *dispatcher = new TQtWindowDispatcherScope;
    // The web pane's engine starts helper processes per window; these tests are not about the
    // page, so the pane uses its plain view.
    WebPane::setEngineWanted(false);
    (void)dispatcher;
    return *app;
}

// A private configuration folder (the window state's store), captured messages and dialogs
// answered by the test.
class TrimEnv {
public:
    TrimEnv()
    {
        testApp();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(QString::fromStdString((tmp / "config").string())));
        TForm1::setApplicationTitle(QStringLiteral("Snipolux"));
        ui::setMessageSink([this](const QString &text) { messages << text; });
        TTrimFileDialog::ExecuteHook = [this](TTrimFileDialog &d) {
            dialogs << d.kind();
            if (answer.isEmpty())
                return false;
            d.FileName = answer;
            return true;
        };
    }
    ~TrimEnv()
    {
        ui::setMessageSink({});
        TTrimFileDialog::ExecuteHook = {};
    }
    TrimEnv(const TrimEnv &) = delete;
    TrimEnv &operator=(const TrimEnv &) = delete;

    QString path(const std::string &name) const { return QString::fromStdString((tmp / name).string()); }

    testsupport::TempDir tmp;
    QStringList messages;
    QList<TTrimFileDialog::Kind> dialogs;
    QString answer; // the file the next dialog returns; empty: the user cancels
};

// Runs the event loop until Done or the timeout; true when Done.
inline bool spinUntil(const std::function<bool()> &Done, int TimeoutMs = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!Done() && t.elapsed() < TimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return Done();
}

// Writes raw 16-bit PCM and encodes it with ffmpeg's LAME encoder to an MP3 file. Encoding is
// the slow part of these tests and every test runs in a process of its own, so the encoded
// file is kept in a cache folder under the temporary folder, named by a hash of everything
// that goes into it, and copied from there next time.
inline bool pcmToMp3(const std::vector<std::int16_t> &Pcm, unsigned Rate, unsigned Channels, const QString &Mp3,
                     const std::string &Extra = "-b:a 128k")
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(QByteArrayView(reinterpret_cast<const char *>(Pcm.data()), static_cast<qsizetype>(Pcm.size() * 2)));
    hash.addData(QByteArray::fromStdString(std::to_string(Rate) + "/" + std::to_string(Channels) + "/" + Extra));
    const QString cacheDir = QDir::tempPath() + QStringLiteral("/trimmer-test-mp3-cache");
    const QString cached = cacheDir + u'/' + QString::fromLatin1(hash.result().toHex()) + QStringLiteral(".mp3");
    if (QFile::exists(cached)) {
        QFile::remove(Mp3);
        if (QFile::copy(cached, Mp3))
            return true;
    }

    const std::string raw = Mp3.toStdString() + ".raw";
    {
        std::ofstream f(raw, std::ios::binary);
        f.write(reinterpret_cast<const char *>(Pcm.data()), static_cast<std::streamsize>(Pcm.size() * 2));
    }
    int rc = -1;
    testsupport::runCommand("ffmpeg -nostdin -loglevel error -y -f s16le -ar " + std::to_string(Rate) + " -ac " +
                                std::to_string(Channels) + " -i " + testsupport::shellQuote(raw) +
                                " -c:a libmp3lame " + Extra + " " + testsupport::shellQuote(Mp3.toStdString()),
                            &rc);
    std::remove(raw.c_str());
    if (rc != 0)
        return false;
    // Into the cache by a rename, so a test running at the same time never copies half a file.
    QDir().mkpath(cacheDir);
    const QString part = cached + QStringLiteral(".%1.part").arg(QCoreApplication::applicationPid());
    if (QFile::copy(Mp3, part) && std::rename(QFile::encodeName(part).constData(), QFile::encodeName(cached).constData()) != 0)
        QFile::remove(part);
    return true;
}

// A half-scale sine (stereo: Hz left, 1.5 × Hz right) of Seconds at Rate.
inline bool toneMp3(const QString &Mp3, double Seconds, unsigned Rate = 44100, unsigned Channels = 2, double Hz = 440)
{
    const auto frames = static_cast<std::size_t>(Seconds * Rate);
    return pcmToMp3(testsupport::sinePcm16(Rate, Channels, frames, Hz), Rate, Channels, Mp3);
}

// Pure digital silence of Seconds.
inline bool silenceMp3(const QString &Mp3, double Seconds, unsigned Rate = 44100, unsigned Channels = 2)
{
    const auto frames = static_cast<std::size_t>(Seconds * Rate);
    return pcmToMp3(std::vector<std::int16_t>(frames * Channels, 0), Rate, Channels, Mp3);
}

// Saves a picture of Widget as Name.png in the screenshot folder.
inline void screenshot(QWidget &Widget, const QString &Name)
{
    QString dir = qEnvironmentVariable("FONOLUX_SCREENSHOTS");
    if (dir.isEmpty())
        dir = QDir::tempPath();
    QDir().mkpath(dir);
    Widget.grab().save(dir + u'/' + Name + QStringLiteral(".png"));
}

// Drags a bar of the band (its edge at bitmap column From, grabbed Inwards pixels inside it) by
// the mouse to column To, through a point half-way as a hand would.
inline void dragBandBar(TLayeredImage *Image, double From, double To, int Inwards)
{
    const double midY = Image->Bitmap.height() / 2.0;
    const QPoint from = Image->BitmapToControl(QPointF(From, midY)).toPoint() + QPoint(Inwards, 0);
    const QPoint to = Image->BitmapToControl(QPointF(To, midY)).toPoint() + QPoint(Inwards, 0);
    QTest::mouseMove(Image, from);
    QTest::mousePress(Image, Qt::LeftButton, {}, from);
    QTest::mouseMove(Image, QPoint((from.x() + to.x()) / 2, to.y()));
    QTest::mouseMove(Image, to);
    QTest::mouseRelease(Image, Qt::LeftButton, {}, to);
}
