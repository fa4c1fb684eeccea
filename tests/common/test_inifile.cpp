// The INI layer: what it reads from well-formed and malformed files, and that writes keep the
// rest of the file and never leave it half written.
#include "IniFile.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

class IniFileTest : public ::testing::Test {
protected:
    QString file(const QString &name = QStringLiteral("test.ini")) const
    {
        return QString::fromStdString(tmp.path().string()) + QLatin1Char('/') + name;
    }
    void write(const QByteArray &bytes, const QString &name = QStringLiteral("test.ini")) const
    {
        QFile f(file(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray read(const QString &name = QStringLiteral("test.ini")) const
    {
        QFile f(file(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    testsupport::TempDir tmp;
};

TEST_F(IniFileTest, ListsSectionsAndKeysInFileOrderAndMatchesNamesIgnoringCase)
{
    write("[Pop]\nZeta=http://z.example.org/\nAlpha=http://a.example.org/\n\n[jazz]\nOne = 1 \n");
    const IniFile ini(file());
    EXPECT_EQ(ini.sections(), (QStringList{QStringLiteral("Pop"), QStringLiteral("jazz")}));
    EXPECT_EQ(ini.keys(QStringLiteral("POP")), (QStringList{QStringLiteral("Zeta"), QStringLiteral("Alpha")}));
    EXPECT_EQ(ini.readString(QStringLiteral("JAZZ"), QStringLiteral("ONE"), QStringLiteral("x")), QStringLiteral("1"));
    EXPECT_TRUE(ini.keys(QStringLiteral("Rock")).isEmpty());
}

TEST_F(IniFileTest, EmptyValueIsEmptyTextAndAbsentKeyIsTheDefault)
{
    write("[state]\nstntxt=\nvol=abc\nbig=2\nzero=0\n");
    const IniFile ini(file());
    EXPECT_EQ(ini.readString(QStringLiteral("state"), QStringLiteral("stntxt"), QStringLiteral("def")), QString());
    EXPECT_EQ(ini.readString(QStringLiteral("state"), QStringLiteral("missing"), QStringLiteral("def")), QStringLiteral("def"));
    EXPECT_EQ(ini.readInteger(QStringLiteral("state"), QStringLiteral("vol"), 7), 7);
    EXPECT_EQ(ini.readInteger(QStringLiteral("state"), QStringLiteral("stntxt"), 7), 7);
    EXPECT_TRUE(ini.readBool(QStringLiteral("state"), QStringLiteral("big"), false));
    EXPECT_FALSE(ini.readBool(QStringLiteral("state"), QStringLiteral("zero"), true));
    EXPECT_TRUE(ini.readBool(QStringLiteral("state"), QStringLiteral("missing"), true));
}

TEST_F(IniFileTest, MalformedLinesAreSkippedAndTheFirstDuplicateWins)
{
    write("garbage before any section\n"
          "orphan=1\n"
          "[Jazz]\r\n"
          "no equals sign here\r\n"
          "=value without a name\r\n"
          "[unterminated header\r\n"
          "; a comment=1\r\n"
          "Cool=first\r\n"
          "cool=second\r\n"
          "[Rock]\r\n"
          "Loud=yes\r\n"
          "[JAZZ]\r\n"
          "Cool=third\r\n"
          "Late=only in the duplicate\r\n"
          "[Last]\r\n"
          "NoNewline=end");
    const IniFile ini(file());
    EXPECT_EQ(ini.sections(), (QStringList{QStringLiteral("Jazz"), QStringLiteral("Rock"), QStringLiteral("Last")}));
    EXPECT_EQ(ini.keys(QStringLiteral("Jazz")), QStringList{QStringLiteral("Cool")});
    EXPECT_EQ(ini.readString(QStringLiteral("jazz"), QStringLiteral("cool"), {}), QStringLiteral("first"));
    EXPECT_FALSE(ini.value(QStringLiteral("Jazz"), QStringLiteral("Late")).has_value());
    EXPECT_EQ(ini.readString(QStringLiteral("Rock"), QStringLiteral("Loud"), {}), QStringLiteral("yes"));
    EXPECT_EQ(ini.readString(QStringLiteral("Last"), QStringLiteral("NoNewline"), {}), QStringLiteral("end"));
}

TEST_F(IniFileTest, InvalidUtf8IsReadAndKeptByteForByteWhenOtherKeysChange)
{
    const QByteArray odd = "[Bad\xff\xfe]\nname\xc3=val\x80ue\n[Good]\nk=v\n  Caf\xc3\xa9 Key = old\n";
    write(odd);
    IniFile ini(file());
    EXPECT_EQ(ini.sections().size(), 2);
    EXPECT_EQ(ini.readString(QStringLiteral("Good"), QStringLiteral("k"), {}), QStringLiteral("v"));
    ASSERT_TRUE(ini.writeString(QStringLiteral("Good"), QStringLiteral("k"), QStringLiteral("w")));
    // A rewritten key keeps its own spelling and indentation.
    ASSERT_TRUE(ini.writeString(QStringLiteral("good"), QStringLiteral("CAFÉ KEY"), QStringLiteral("new")));
    EXPECT_EQ(read(), QByteArray("[Bad\xff\xfe]\nname\xc3=val\x80ue\n[Good]\nk=w\n  Caf\xc3\xa9 Key =new\n"));
}

TEST_F(IniFileTest, AByteOrderMarkDoesNotHideTheFirstSectionAndStaysInTheFile)
{
    write("\xef\xbb\xbf[Pop]\r\nOne=http://one.example.org/\r\n[Jazz]\r\nCool=http://cool.example.org/\r\n");
    IniFile ini(file());
    EXPECT_EQ(ini.sections(), (QStringList{QStringLiteral("Pop"), QStringLiteral("Jazz")}));
    EXPECT_EQ(ini.readString(QStringLiteral("Pop"), QStringLiteral("One"), {}), QStringLiteral("http://one.example.org/"));
    ASSERT_TRUE(ini.writeString(QStringLiteral("Pop"), QStringLiteral("Two"), QStringLiteral("http://two.example.org/")));
    EXPECT_EQ(read(), QByteArray("\xef\xbb\xbf[Pop]\r\nOne=http://one.example.org/\r\nTwo=http://two.example.org/\r\n"
                                 "[Jazz]\r\nCool=http://cool.example.org/\r\n"));
}

TEST_F(IniFileTest, AFileThatCouldNotBeReadIsNeverReplaced)
{
    // The name leads to something that cannot be read as a file; writing the (empty) snapshot
    // would replace whatever is there with one key.
    const QString target = QString::fromStdString(tmp.path().string()) + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QDir().mkpath(target));
    ASSERT_TRUE(QFile::link(target, file(QStringLiteral("linked.ini"))));
    IniFile ini(file(QStringLiteral("linked.ini")));
    ASSERT_FALSE(ini.readError().isEmpty());
    EXPECT_FALSE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral("New"), QStringLiteral("http://new.example.org/")));
    EXPECT_EQ(ini.errorString(), ini.readError());
    EXPECT_EQ(QFileInfo(file(QStringLiteral("linked.ini"))).symLinkTarget(), target);
}

TEST_F(IniFileTest, WritesGoThroughAndKeepCommentsOrderAndLineEnds)
{
    write("; settings\r\n[Basic]\r\nPreRecTime=60\r\n\r\n[state]\r\nvol=0\r\n");
    IniFile ini(file());
    ASSERT_TRUE(ini.writeString(QStringLiteral("basic"), QStringLiteral("prerectime"), QStringLiteral("90")));
    ASSERT_TRUE(ini.writeString(QStringLiteral("Basic"), QStringLiteral("TempDir"), QStringLiteral("/tmp/")));
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Form"), QStringLiteral("Top"), -20));
    EXPECT_EQ(read(), QByteArray("; settings\r\n[Basic]\r\nPreRecTime=90\r\nTempDir=/tmp/\r\n\r\n[state]\r\nvol=0\r\n"
                                 "[Form]\r\nTop=-20\r\n"));
    // Another reader sees the change at once.
    EXPECT_EQ(IniFile(file()).readInteger(QStringLiteral("form"), QStringLiteral("top"), 0), -20);
}

TEST_F(IniFileTest, ValuesWithOuterBlanksOrQuotesReadBackUnchanged)
{
    IniFile ini(file());
    ASSERT_TRUE(ini.writeString(QStringLiteral("s"), QStringLiteral("a"), QStringLiteral("  padded ")));
    ASSERT_TRUE(ini.writeString(QStringLiteral("s"), QStringLiteral("b"), QStringLiteral("\"quoted\"")));
    const IniFile again(file());
    EXPECT_EQ(again.readString(QStringLiteral("s"), QStringLiteral("a"), {}), QStringLiteral("  padded "));
    EXPECT_EQ(again.readString(QStringLiteral("s"), QStringLiteral("b"), {}), QStringLiteral("\"quoted\""));
}

TEST_F(IniFileTest, NamesWithOuterBlanksReachTheExistingSectionAndKey)
{
    // A genre or station typed with a blank at its end is the same genre or station: the write
    // must go into it, not into a second "[Jazz]" or a second key that readers never see.
    write("[Jazz]\nOld=http://old.example.org/\n[Rock]\nA=http://a.example.org/\n");
    IniFile ini(file());
    ASSERT_TRUE(ini.writeString(QStringLiteral(" Jazz "), QStringLiteral("New "), QStringLiteral("http://new.example.org/")));
    ASSERT_TRUE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral(" old"), QStringLiteral("http://changed.example.org/")));
    const IniFile again(file());
    EXPECT_EQ(again.sections(), (QStringList{QStringLiteral("Jazz"), QStringLiteral("Rock")}));
    EXPECT_EQ(again.keys(QStringLiteral("Jazz")), (QStringList{QStringLiteral("Old"), QStringLiteral("New")}));
    EXPECT_EQ(again.readString(QStringLiteral("Jazz"), QStringLiteral("New"), {}), QStringLiteral("http://new.example.org/"));
    EXPECT_EQ(again.readString(QStringLiteral("Jazz "), QStringLiteral(" Old"), {}), QStringLiteral("http://changed.example.org/"));
    EXPECT_EQ(read(), QByteArray("[Jazz]\nOld=http://changed.example.org/\nNew=http://new.example.org/\n[Rock]\nA=http://a.example.org/\n"));
}

TEST_F(IniFileTest, NamesThatWouldCorruptTheFileAreRefusedAndNothingIsWritten)
{
    write("[Jazz]\nA=1\n");
    IniFile ini(file());
    EXPECT_FALSE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral("x=y"), QStringLiteral("1")));
    EXPECT_FALSE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral("two\nlines"), QStringLiteral("1")));
    EXPECT_FALSE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral("[fake]"), QStringLiteral("1")));
    EXPECT_FALSE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral("  "), QStringLiteral("1")));
    EXPECT_FALSE(ini.writeString(QStringLiteral("Ja]zz"), QStringLiteral("k"), QStringLiteral("1")));
    EXPECT_FALSE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral("k"), QStringLiteral("a\r\n[x]")));
    EXPECT_FALSE(ini.errorString().isEmpty());
    EXPECT_EQ(read(), QByteArray("[Jazz]\nA=1\n"));
}

TEST_F(IniFileTest, WriteFailuresAreReportedAndTheOldFileStays)
{
    // The folder does not exist.
    IniFile missingFolder(file(QStringLiteral("nowhere/test.ini")));
    EXPECT_FALSE(missingFolder.writeString(QStringLiteral("s"), QStringLiteral("k"), QStringLiteral("v")));
    EXPECT_TRUE(missingFolder.errorString().contains(QStringLiteral("nowhere/test.ini")));

    // The name is taken by a folder: the rename fails, the folder and its contents stay, and
    // no temporary file is left behind.
    QDir(QString::fromStdString(tmp.path().string())).mkpath(QStringLiteral("taken.ini/inner"));
    IniFile taken(file(QStringLiteral("taken.ini")));
    EXPECT_FALSE(taken.writeString(QStringLiteral("s"), QStringLiteral("k"), QStringLiteral("v")));
    EXPECT_FALSE(taken.errorString().isEmpty());
    EXPECT_TRUE(QFileInfo(file(QStringLiteral("taken.ini/inner"))).isDir());
    const QStringList left = QDir(QString::fromStdString(tmp.path().string()))
                                 .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_TRUE(left.isEmpty()) << left.join(u',').toStdString();

    // A batch that cannot be flushed says so, and a later flush to a good place succeeds.
    IniFile batch(file(QStringLiteral("nowhere/batch.ini")));
    batch.setAutoFlush(false);
    EXPECT_TRUE(batch.writeString(QStringLiteral("s"), QStringLiteral("k"), QStringLiteral("v")));
    EXPECT_FALSE(batch.flush());
}

TEST_F(IniFileTest, TenMegabyteFileIsReadAndWrittenInReasonableTime)
{
    QByteArray big;
    big.reserve(11 * 1024 * 1024);
    big += "[Huge]\n";
    int n = 0;
    while (big.size() < 10 * 1024 * 1024) {
        big += "Station" + QByteArray::number(n) + "=http://host" + QByteArray::number(n) + ".example.org:8000/stream\n";
        if (n % 1000 == 0)
            big += "a line of garbage without an equals sign\n";
        ++n;
    }
    big += "[Tail]\nlast=found";
    write(big);

    QElapsedTimer timer;
    timer.start();
    IniFile ini(file());
    EXPECT_EQ(ini.sections(), (QStringList{QStringLiteral("Huge"), QStringLiteral("Tail")}));
    EXPECT_EQ(ini.keys(QStringLiteral("Huge")).size(), n);
    EXPECT_EQ(ini.readString(QStringLiteral("tail"), QStringLiteral("LAST"), {}), QStringLiteral("found"));
    ASSERT_TRUE(ini.writeString(QStringLiteral("Tail"), QStringLiteral("added"), QStringLiteral("1")));
    EXPECT_LT(timer.elapsed(), 10000);
    const QByteArray after = read();
    EXPECT_TRUE(after.startsWith(big.left(1000)));
    EXPECT_TRUE(after.endsWith("[Tail]\nlast=found\nadded=1\n"));
}

TEST_F(IniFileTest, ALinkedFileIsWrittenThroughAndTheLinkStays)
{
    // A user who keeps the list elsewhere and links it into the data folder.
    const QString folder = QString::fromStdString(tmp.path().string());
    ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral("synced")));
    write("[Jazz]\nCool=http://cool.example.org/\n", QStringLiteral("synced/stations.ini"));
    ASSERT_TRUE(QFile::link(file(QStringLiteral("synced/stations.ini")), file(QStringLiteral("stations.ini"))));
    IniFile ini(file(QStringLiteral("stations.ini")));
    ASSERT_TRUE(ini.writeString(QStringLiteral("Jazz"), QStringLiteral("Hot"), QStringLiteral("http://hot.example.org/")));
    EXPECT_TRUE(QFileInfo(file(QStringLiteral("stations.ini"))).isSymLink());
    EXPECT_EQ(read(QStringLiteral("synced/stations.ini")),
              QByteArray("[Jazz]\nCool=http://cool.example.org/\nHot=http://hot.example.org/\n"));
    const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_EQ(left, QStringList{QStringLiteral("stations.ini")});
}

TEST(AtomicWrite, ReplacesTheFileWholeAndKeepsItsMode)
{
    testsupport::TempDir tmp;
    const QString name = QString::fromStdString((tmp / "f.ini").string());
    {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("old");
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    QString error;
    ASSERT_TRUE(writeFileAtomically(name, "new contents", &error)) << error.toStdString();
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("new contents"));
    EXPECT_EQ(f.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
}

} // namespace

TEST_F(IniFileTest, AValueStartingWithAZeroWidthNoBreakSpaceKeepsItWhenWrittenBack)
{
    // U+FEFF inside a line is text, not a byte order mark; only the file's first bytes are one.
    write("\xef\xbb\xbf[Rock]\nTwo= \xef\xbb\xbftail\n");
    IniFile ini(file());
    const QString v = ini.readString(QStringLiteral("Rock"), QStringLiteral("Two"), QString());
    ASSERT_EQ(v, QString(QChar(0xFEFF)) + QStringLiteral("tail"));
    ASSERT_TRUE(ini.writeString(QStringLiteral("Rock"), QStringLiteral("Two"), v));
    EXPECT_EQ(IniFile(file()).readString(QStringLiteral("Rock"), QStringLiteral("Two"), QString()), v);
    EXPECT_EQ(IniFile(file()).sections(), QStringList{QStringLiteral("Rock")});
}
