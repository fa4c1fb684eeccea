// Shared set-up for the recorder's window tests: one QApplication per test program, a private
// data home per test, captured message boxes and desktop launches, and screenshots.
#pragma once

#include "Main.h"
#include "TestSupport.h"
#include "UserMessages.h"
#include "WebPane.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <functional>

#include <gtest/gtest.h>

inline QApplication &testApp()
{
    static int argc = 1;
    static char name[] = "recorder-test";
    static char *argv[] = {name, nullptr};
    // Never destroyed: tearing Qt down during static destruction crashes at exit.
    static QApplication *app = [] {
        WebPane::prepareApplication();
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Points XDG_DATA_HOME at a fresh folder, takes the seed files from the repository's data
// folder and captures what the window would show or open.
class FormEnv {
public:
    FormEnv()
    {
        testApp();
        qputenv("XDG_DATA_HOME", QFile::encodeName(home()));
        // The timers' store too, so that no test reads or writes the user's own.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home()));
        TForm1::setProgramFolder(qEnvironmentVariable("FONOLUX_TEST_DATA"));
        TForm1::setEncoderLibraryName(QStringLiteral("libmp3lame.so.0"));
        // The web pane's engine starts helper processes; only the pane's own tests want it.
        WebPane::setEngineWanted(false);
        ui::setMessageSink([this](const QString &text) { messages << text; });
        ui::setUrlOpener([this](const QUrl &url) {
            opened << url;
            if (onOpen)
                onOpen(url);
            return true;
        });
    }
    ~FormEnv()
    {
        ui::setMessageSink({});
        ui::setUrlOpener({});
    }
    FormEnv(const FormEnv &) = delete;
    FormEnv &operator=(const FormEnv &) = delete;

    QString home() const { return QString::fromStdString(tmp.path().string()); }
    QString dataFolder() const { return home() + QStringLiteral("/Zorbel/Fonolux/"); }

    // Creates the data folder (so no seeding happens) and writes a file into it.
    void writeData(const QString &name, const QByteArray &bytes) const
    {
        QDir().mkpath(dataFolder());
        QFile f(dataFolder() + name);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            ADD_FAILURE() << "cannot write " << name.toStdString();
        f.write(bytes);
    }
    QByteArray readData(const QString &name) const
    {
        QFile f(dataFolder() + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    testsupport::TempDir tmp;
    QStringList messages;
    QList<QUrl> opened;
    std::function<void(const QUrl &)> onOpen;
};

// Processes events until condition() holds or timeoutMs have passed; returns whether it holds.
// QTest's QTRY_ macros report only inside a QTest run: under GoogleTest a failed QTRY_ returns
// quietly and the test passes, so tests wait with this and check the result themselves.
template <class Condition>
bool waitUntil(Condition condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return condition();
        QTest::qWait(10);
    }
    return true;
}

// Longest time between two turns of the event loop while f runs.
template <class F>
qint64 longestStall(F f)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer probe;
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    probe.start();
    f();
    longest = std::max(longest, clock.elapsed() - last);
    return longest;
}

// A stand-in for the trimmer: writes its argument count and arguments, one a line.
inline QString writeTrimmerStub(const QString &folder)
{
    const QString program = folder + QStringLiteral("/snipolux");
    QFile f(program);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("#!/bin/sh\nout=\"$(dirname \"$0\")/args.txt\"\n"
            "printf '%s\\n' \"$#\" \"$@\" > \"$out.part\" && mv \"$out.part\" \"$out\"\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return program;
}

// The stub's lines once it has run; empty when it did not run within a few seconds.
inline QStringList trimmerArguments(const QString &folder)
{
    QFile f(folder + QStringLiteral("/args.txt"));
    if (!waitUntil([&] { return f.exists(); }, 10000) || !f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    f.close();
    f.remove();
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Saves a picture of w as $FONOLUX_SCREENSHOTS/name.png.
inline void saveScreenshot(QWidget *w, const QString &name)
{
    const QString dir = qEnvironmentVariable("FONOLUX_SCREENSHOTS");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    EXPECT_TRUE(w->grab().save(dir + QLatin1Char('/') + name + QStringLiteral(".png")));
}
