// The files a program ships with, found beside it or in the installed data folder; the options
// answered before any window exists.
#include "ProgramFiles.h"
#include "ProgramOptions.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <vector>

namespace {

QString pathOf(const testsupport::TempDir &dir)
{
    return QString::fromStdString(dir.path().string());
}

void touch(const QString &file, const QByteArray &bytes = "x")
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

TEST(ProgramFiles, FoundBesideTheProgramFirstThenInTheInstalledDataFolder)
{
    testsupport::TempDir tmp;
    const QString prefix = pathOf(tmp), bin = prefix + QStringLiteral("/bin"), share = prefix + QStringLiteral("/share/fonolux/");
    QDir().mkpath(bin);

    // Without a share folder only the program's folder is searched among these two.
    QStringList folders = programFileFolders(bin);
    ASSERT_FALSE(folders.isEmpty());
    EXPECT_EQ(folders.first(), bin + QStringLiteral("/"));
    EXPECT_FALSE(folders.contains(share));
    EXPECT_TRUE(findProgramFile(bin, QStringLiteral("stations.ini.bu")).isEmpty());

    touch(share + QStringLiteral("Stations.INI.bu"));
    folders = programFileFolders(bin);
    ASSERT_GE(folders.size(), 2);
    EXPECT_EQ(folders.at(1), share);
    // Matched without regard to case, as every name in the data folders.
    EXPECT_EQ(findProgramFile(bin, QStringLiteral("stations.ini.bu")), share + QStringLiteral("Stations.INI.bu"));

    touch(bin + QStringLiteral("/stations.ini.bu"));
    EXPECT_EQ(findProgramFile(bin, QStringLiteral("stations.ini.bu")), bin + QStringLiteral("/stations.ini.bu"));
    // A folder of that name is not the file.
    QDir().mkpath(bin + QStringLiteral("/senden.html"));
    touch(share + QStringLiteral("senden.html"));
    EXPECT_EQ(findProgramFile(bin, QStringLiteral("senden.html")), share + QStringLiteral("senden.html"));
}

TEST(ProgramFiles, AFolderReachedTwiceThroughALinkIsSearchedOnce)
{
    testsupport::TempDir tmp;
    const QString prefix = pathOf(tmp), program = prefix + QStringLiteral("/programs");
    QDir().mkpath(program);
    QDir().mkpath(prefix + QStringLiteral("/share"));
    // programs/../share/fonolux is the program folder itself.
    ASSERT_TRUE(QFile::link(program, prefix + QStringLiteral("/share/fonolux")));
    const QStringList folders = programFileFolders(program);
    EXPECT_EQ(folders.first(), program + QStringLiteral("/"));
    EXPECT_FALSE(folders.contains(prefix + QStringLiteral("/share/fonolux/")));
}

// Runs answerProgramOptions on args and returns (answered, what it printed).
std::pair<bool, std::string> answer(std::vector<std::string> args)
{
    args.insert(args.begin(), "prog");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const ProgramInfo info{"Prog", "1.2.3.4", "Usage: prog [FILE]\n"};
    testing::internal::CaptureStdout();
    const bool answered = answerProgramOptions(static_cast<int>(args.size()), argv.data(), info);
    return {answered, testing::internal::GetCapturedStdout()};
}

TEST(ProgramOptions, VersionAndHelpAreAnsweredOtherCommandLinesGoOn)
{
    EXPECT_EQ(answer({"--version"}), std::make_pair(true, std::string("Prog 1.2.3.4\n")));
    EXPECT_EQ(answer({"--help"}), std::make_pair(true, std::string("Usage: prog [FILE]\n")));
    EXPECT_EQ(answer({"-h"}), std::make_pair(true, std::string("Usage: prog [FILE]\n")));
    // The first of them wins, wherever it stands.
    EXPECT_EQ(answer({"song.mp3", "--help", "--version"}), std::make_pair(true, std::string("Usage: prog [FILE]\n")));
    // Files, Qt's own options and everything after "--" are left to the program.
    EXPECT_EQ(answer({}), std::make_pair(false, std::string()));
    EXPECT_EQ(answer({"song.mp3"}), std::make_pair(false, std::string()));
    EXPECT_EQ(answer({"-stylesheet", "big.qss"}), std::make_pair(false, std::string()));
    EXPECT_EQ(answer({"--", "--help"}), std::make_pair(false, std::string()));
    EXPECT_EQ(answer({"--versions"}), std::make_pair(false, std::string()));
}

TEST(ProgramOptions, OnlyTheArgumentsBeforeTheFirstDoubleDashGoToTheToolkit)
{
    std::string prog = "prog", a = "-style", b = "x", dd = "--", file = "-reverse.mp3", dd2 = "--";
    char *withDash[] = {prog.data(), a.data(), b.data(), dd.data(), file.data(), dd2.data(), nullptr};
    EXPECT_EQ(argumentsBeforeDoubleDash(6, withDash), 3);
    char *first[] = {prog.data(), dd.data(), file.data(), nullptr};
    EXPECT_EQ(argumentsBeforeDoubleDash(3, first), 1);
    char *without[] = {prog.data(), file.data(), nullptr};
    EXPECT_EQ(argumentsBeforeDoubleDash(2, without), 2);
}

} // namespace
