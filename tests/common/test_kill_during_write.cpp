// A settings or station file being rewritten when the program is killed (kill -9, a power cut
// as far as the process can tell) keeps either its old or its new contents, never a damaged
// mix: a child process rewrites the file in a loop and is killed at a random moment, many times.
#include "IniFile.h"
#include "TestSupport.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// The value written in round n: its number and a tail long enough that a torn write would show.
QString ValueOf(int n)
{
    return QStringLiteral("%1 ").arg(n) + QString(400, QLatin1Char('x')) + QStringLiteral(" end");
}

// Reads the round number back, checking the value is whole; -1 when it is not.
int RoundOf(const QString &value)
{
    static const QRegularExpression whole(QStringLiteral("^(\\d+) x{400} end$"));
    const auto m = whole.match(value);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// Child: rewrite one key of the file in a loop, starting after the round the file holds.
[[noreturn]] void Rewrite(const QString &file, const QString &section, const QString &key)
{
    IniFile start(file);
    int n = RoundOf(start.readString(section, key, QString())) + 1;
    for (;;) {
        IniFile ini(file);
        ini.writeString(section, key, ValueOf(n++));
    }
}

class KillDuringWrite : public ::testing::TestWithParam<const char *> {
protected:
    QString path(const QString &name) const { return QString::fromStdString(tmp.path().string()) + QLatin1Char('/') + name; }
    testsupport::TempDir tmp;
};

} // namespace

TEST_P(KillDuringWrite, TheFileHoldsTheOldOrTheNewValueAndNothingElseIsLost)
{
    // A settings-shaped file (one section, many keys) or a station-shaped one (many sections).
    const bool stations = std::string(GetParam()) == "stations";
    const QString file = path(stations ? QStringLiteral("stations.ini") : QStringLiteral("Fonolux.INI"));
    const QString section = stations ? QStringLiteral("Rock") : QStringLiteral("Settings");
    const QString key = stations ? QStringLiteral("Night Station") : QStringLiteral("Prerecording");
    {
        IniFile seed(file);
        seed.setAutoFlush(false);
        for (int s = 0; s < (stations ? 20 : 1); ++s)
            for (int k = 0; k < 15; ++k)
                seed.writeString(stations && s ? QStringLiteral("Genre %1").arg(s) : section,
                                 QStringLiteral("Key %1").arg(k), QStringLiteral("http://127.0.0.1:%1/k").arg(8000 + k));
        seed.writeString(section, key, ValueOf(0));
        ASSERT_TRUE(seed.flush()) << seed.errorString().toStdString();
    }
    std::mt19937 rng(12345);
    int last = 0, advanced = 0;
    for (int round = 0; round < 100; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            Rewrite(file, section, key);
        // Kill it at a random moment once it has written at least once, so that every round
        // interrupts a writer in full flow, however slow the machine's disk is today.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (RoundOf(IniFile(file).readString(section, key, QString())) <= last &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 4000)(rng)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        const IniFile after(file);
        ASSERT_TRUE(after.readError().isEmpty()) << after.readError().toStdString();
        const int n = RoundOf(after.readString(section, key, QString()));
        ASSERT_GE(n, last) << "round " << round << ": the value is damaged or went back";
        advanced += n > last;
        last = n;
        // Every other key is untouched.
        for (int k = 0; k < 15; ++k) {
            ASSERT_EQ(after.readString(section, QStringLiteral("Key %1").arg(k), QString()),
                      QStringLiteral("http://127.0.0.1:%1/k").arg(8000 + k));
        }
        if (stations) {
            ASSERT_EQ(after.sections().size(), 20);
        }
    }
    // Every child wrote before it was killed: the test killed real writers, not idle processes.
    EXPECT_EQ(advanced, 100);
}

INSTANTIATE_TEST_SUITE_P(Files, KillDuringWrite, ::testing::Values("settings", "stations"));
