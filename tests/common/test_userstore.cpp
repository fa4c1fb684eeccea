// The per-user store: typed values, names without regard to case, the key tree, damaged files
// set aside, writers killed mid-series and two writers at once.
#include "DateTimeValue.h"
#include "Processes.h"
#include "TestSupport.h"
#include "UserStore.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

using testsupport::ChildProcess;
using testsupport::TempDir;

namespace {

QString qpath(const std::filesystem::path &p)
{
    return QString::fromStdString(p.string());
}

QByteArray readAll(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &file, const QByteArray &data)
{
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

// Throws unless the call throws UserStoreError with exactly that message.
template <typename F>
QString errorOf(F &&f)
{
    try {
        f();
    } catch (const UserStoreError &e) {
        return e.message();
    }
    return QString();
}

TEST(UserStore, TypedValuesRoundTripWithNamesMatchedWithoutCase)
{
    TempDir tmp;
    const QString file = qpath(tmp / "sub" / "registry.db");
    {
        UserStore s(file);
        ASSERT_TRUE(s.isUsable()) << s.openError().toStdString();
        const QString key = QStringLiteral("Software\\.alarms.0\\first");
        s.writeString(key, QStringLiteral("CheckVolume"), QStringLiteral("1"));
        s.writeInteger(key, QStringLiteral("Play"), -7);
        s.writeInteger(key, QStringLiteral("Big"), std::numeric_limits<std::int32_t>::min());
        s.writeBinary(key, QStringLiteral("DateStart"), DateTimeValue(46000.75).toBytes());
        s.writeBinary(key, QStringLiteral("Empty"), QByteArray());
        s.writeString(key, QStringLiteral("Äpfel"), QStringLiteral("grün \u00df"));
    }
    UserStore s(file); // a new connection sees the committed writes
    const QString key = QStringLiteral("\\software\\.ALARMS.0\\\\First\\");
    EXPECT_EQ(s.readString(key, QStringLiteral("checkVolume")), QStringLiteral("1"));
    EXPECT_EQ(s.readInteger(key, QStringLiteral("PLAY")), -7);
    EXPECT_EQ(s.readInteger(key, QStringLiteral("big")), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(DateTimeValue::fromBytes(*s.readBinary(key, QStringLiteral("datestart")))->days(), 46000.75);
    EXPECT_EQ(s.valueType(key, QStringLiteral("empty")), UserStore::ValueType::Binary);
    EXPECT_EQ(s.readBinary(key, QStringLiteral("empty")), QByteArray(""));
    EXPECT_EQ(s.readString(key, QStringLiteral("äPFEL")), QStringLiteral("grün \u00df"));

    // Overwriting under another spelling keeps the first spelling and one value.
    s.writeInteger(key, QStringLiteral("PLAY"), 2);
    EXPECT_EQ(s.readInteger(key, QStringLiteral("play")), 2);
    EXPECT_EQ(s.valueNames(key).count(QStringLiteral("Play")), 1);
    EXPECT_FALSE(s.valueNames(key).contains(QStringLiteral("PLAY")));

    // Missing keys and values give nothing; the wrong type gives the message.
    EXPECT_FALSE(s.readString(key, QStringLiteral("nothing")).has_value());
    EXPECT_FALSE(s.readInteger(QStringLiteral("Software\\none"), QStringLiteral("Play")).has_value());
    EXPECT_EQ(errorOf([&] { s.readString(key, QStringLiteral("Play")); }), QStringLiteral("Invalid data type for 'Play'"));
    EXPECT_EQ(errorOf([&] { s.readInteger(key, QStringLiteral("checkvolume")); }),
              QStringLiteral("Invalid data type for 'checkvolume'"));
    EXPECT_EQ(errorOf([&] { s.readBinary(key, QStringLiteral("Big")); }), QStringLiteral("Invalid data type for 'Big'"));

    // A write may change a value's type.
    s.writeString(key, QStringLiteral("Play"), QStringLiteral("2"));
    EXPECT_EQ(s.valueType(key, QStringLiteral("play")), UserStore::ValueType::String);
}

TEST(UserStore, KeyTreeCreatesParentsAndDeletesOnlyItsOwnBranch)
{
    TempDir tmp;
    UserStore s(qpath(tmp / "registry.db"));
    EXPECT_FALSE(s.keyExists(QStringLiteral("Software\\.alarms.1")));
    EXPECT_TRUE(s.createKey(QStringLiteral("Software\\.alarms.1")));
    EXPECT_TRUE(s.keyExists(QStringLiteral("software")));
    EXPECT_TRUE(s.valueNames(QStringLiteral("Software\\.alarms.1")).isEmpty());
    s.writeInteger(QStringLiteral("Software\\.alarms.1\\first"), QStringLiteral("Index"), 1);
    s.writeInteger(QStringLiteral("Software\\.alarms.10\\first"), QStringLiteral("Index"), 10);
    s.writeInteger(QStringLiteral("Software\\.alarms_1"), QStringLiteral("Index"), 99);
    EXPECT_EQ(s.subKeyNames(QStringLiteral("SOFTWARE")),
              (QStringList{QStringLiteral(".alarms.1"), QStringLiteral(".alarms.10"), QStringLiteral(".alarms_1")}));

    EXPECT_TRUE(s.deleteKey(QStringLiteral("software\\.ALARMS.1")));
    EXPECT_FALSE(s.keyExists(QStringLiteral("Software\\.alarms.1\\first")));
    EXPECT_FALSE(s.readInteger(QStringLiteral("Software\\.alarms.1\\first"), QStringLiteral("Index")).has_value());
    // Neighbours whose names merely start alike, or would match as a pattern, stay.
    EXPECT_EQ(s.readInteger(QStringLiteral("Software\\.alarms.10\\first"), QStringLiteral("Index")), 10);
    EXPECT_EQ(s.readInteger(QStringLiteral("Software\\.alarms_1"), QStringLiteral("Index")), 99);
    EXPECT_FALSE(s.deleteKey(QStringLiteral("Software\\.alarms.1")));
    EXPECT_TRUE(s.deleteValue(QStringLiteral("Software\\.alarms_1"), QStringLiteral("INDEX")));
    EXPECT_FALSE(s.valueExists(QStringLiteral("Software\\.alarms_1"), QStringLiteral("Index")));
}

TEST(UserStore, LivesInTheZorbelFolderOfTheConfigHome)
{
    TempDir tmp;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(qpath(tmp.path())));
    EXPECT_EQ(UserStore::defaultFileName(), qpath(tmp / "Zorbel" / "registry.db"));
    {
        UserStore s;
        s.writeInteger(QStringLiteral("k"), QStringLiteral("v"), 1);
    }
    EXPECT_TRUE(QFileInfo::exists(qpath(tmp / "Zorbel" / "registry.db")));
    qputenv("XDG_CONFIG_HOME", "relative/ignored");
    EXPECT_EQ(UserStore::defaultFileName(), QDir::homePath() + QStringLiteral("/.config/Zorbel/registry.db"));
}

TEST(UserStore, NonDatabaseFileIsKeptAsideAndTheUserToldOnce)
{
    TempDir tmp;
    const QString file = qpath(tmp / "registry.db");
    const QByteArray junk = QByteArray("[first]\nPlay=1\n").repeated(300);
    writeFile(file, junk);
    {
        UserStore s(file);
        ASSERT_TRUE(s.isUsable()) << s.openError().toStdString();
        EXPECT_FALSE(s.keyExists(QStringLiteral("first")));
        s.writeInteger(QStringLiteral("Software\\.alarms.0\\first"), QStringLiteral("Play"), 1);
        EXPECT_EQ(s.readInteger(QStringLiteral("Software\\.alarms.0\\first"), QStringLiteral("Play")), 1);
    }
    EXPECT_EQ(readAll(file + QStringLiteral(".damaged")), junk);
    const QString notice = UserStore::takeNotice();
    EXPECT_TRUE(notice.contains(file + QStringLiteral(".damaged"))) << notice.toStdString();
    EXPECT_TRUE(UserStore::takeNotice().isEmpty());

    // A second damaged file in the same run is set aside without telling again; an earlier
    // aside file is not overwritten.
    writeFile(file, QByteArray("also junk, longer than a database header would be....................."));
    UserStore again(file);
    EXPECT_TRUE(again.isUsable());
    EXPECT_EQ(readAll(file + QStringLiteral(".damaged")), junk);
    EXPECT_TRUE(QFileInfo::exists(file + QStringLiteral(".damaged.1")));
    EXPECT_TRUE(UserStore::takeNotice().isEmpty());
}

TEST(UserStore, CorruptDatabaseIsSetAsideAndANewOneStarts)
{
    TempDir tmp;
    const QString file = qpath(tmp / "registry.db");
    {
        UserStore s(file);
        for (int i = 0; i < 400; ++i)
            s.writeString(QStringLiteral("Software\\k") + QString::number(i % 7), QStringLiteral("v") + QString::number(i),
                          QString(200, u'x'));
    }
    QByteArray bytes = readAll(file);
    ASSERT_GT(bytes.size(), 3 * 4096);
    // Keep the header page, ruin the rest.
    for (qsizetype i = 4096; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(0xA5);
    writeFile(file, bytes);

    UserStore s(file);
    ASSERT_TRUE(s.isUsable()) << s.openError().toStdString();
    EXPECT_FALSE(s.keyExists(QStringLiteral("Software\\k0")));
    EXPECT_EQ(readAll(file + QStringLiteral(".damaged")), bytes);
    EXPECT_FALSE(UserStore::takeNotice().isEmpty());
    s.writeInteger(QStringLiteral("Software\\k0"), QStringLiteral("v"), 5);
    EXPECT_EQ(s.readInteger(QStringLiteral("Software\\k0"), QStringLiteral("v")), 5);
}

TEST(UserStore, UnusablePlaceGivesDefaultsAndFailedWrites)
{
    TempDir tmp;
    // A plain file where the store's folder should be.
    writeFile(qpath(tmp / "blocked"), QByteArray("x"));
    UserStore s(qpath(tmp / "blocked" / "registry.db"));
    EXPECT_FALSE(s.isUsable());
    EXPECT_FALSE(s.readString(QStringLiteral("k"), QStringLiteral("v")).has_value());
    EXPECT_FALSE(s.createKey(QStringLiteral("k")));
    EXPECT_TRUE(errorOf([&] { s.writeString(QStringLiteral("k"), QStringLiteral("Genre"), QStringLiteral("x")); })
                    .startsWith(QStringLiteral("Failed to set data for 'Genre'")));
    EXPECT_FALSE(UserStore::takeNotice().isEmpty());
}

// ---- child processes ----

QString seriesText(std::int32_t round)
{
    return QString::number(round) + u':' + QString(round % 3000, QChar(u'a' + round % 26));
}

bool waitForReady(const std::string &log)
{
    for (int i = 0; i < 2000; ++i) {
        std::ifstream in(log);
        std::string line;
        if (std::getline(in, line) && line == "ready")
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

struct SeriesState {
    std::int32_t v[10] = {};
    std::int32_t s[3] = {};
    std::int32_t b = 0;
};

// Reads the series values and checks that each one is whole and that they agree with the
// order of the writes: within a round v0..v9, s0..s2, b are written in turn, so later names
// hold the same round or the one before.
SeriesState readSeries(const QString &file)
{
    SeriesState st;
    UserStore s(file);
    EXPECT_TRUE(s.isUsable()) << s.openError().toStdString();
    EXPECT_TRUE(UserStore::takeNotice().isEmpty()) << "the store was found damaged";
    const QString key = QStringLiteral("Software\\series");
    for (int i = 0; i < 10; ++i)
        st.v[i] = s.readInteger(key, QStringLiteral("v") + QString::number(i)).value_or(0);
    for (int i = 0; i < 3; ++i) {
        const QString text = s.readString(key, QStringLiteral("s") + QString::number(i)).value_or(QString());
        st.s[i] = text.section(u':', 0, 0).toInt();
        if (!text.isEmpty()) {
            EXPECT_EQ(text, seriesText(st.s[i])) << "a torn string value";
        }
    }
    if (const auto b = s.readBinary(key, QStringLiteral("b"))) {
        const auto d = DateTimeValue::fromBytes(*b);
        EXPECT_TRUE(d.has_value()) << "a binary value of " << b->size() << " bytes";
        st.b = d ? static_cast<std::int32_t>(d->days()) : -1;
    }
    std::int32_t order[14];
    for (int i = 0; i < 10; ++i)
        order[i] = st.v[i];
    for (int i = 0; i < 3; ++i)
        order[10 + i] = st.s[i];
    order[13] = st.b;
    for (int i = 1; i < 14; ++i) {
        EXPECT_LE(order[i], order[i - 1]) << "name " << i;
        EXPECT_GE(order[i], order[0] - 1) << "name " << i;
    }
    return st;
}

TEST(UserStore, WriterKilledAtAnyMomentLeavesOldOrNewValues)
{
    TempDir tmp;
    const QString file = qpath(tmp / "registry.db");
    const std::string log = (tmp / "writer.log").string();
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> delayUs(0, 40000);
    SeriesState before;
    int progressed = 0;
    for (int run = 0; run < 100; ++run) {
        std::filesystem::remove(log);
        ChildProcess writer({USERSTORE_WRITER, file.toStdString(), "series"}, log);
        ASSERT_TRUE(waitForReady(log)) << "run " << run;
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
        writer.kill();

        const SeriesState after = readSeries(file);
        // Each value is the one before the kill or a later one of the series, never older.
        for (int i = 0; i < 10; ++i)
            EXPECT_GE(after.v[i], before.v[i]) << "run " << run;
        for (int i = 0; i < 3; ++i)
            EXPECT_GE(after.s[i], before.s[i]) << "run " << run;
        EXPECT_GE(after.b, before.b) << "run " << run;
        if (after.v[0] > before.v[0])
            ++progressed;
        before = after;
        if (HasFailure())
            break;
    }
    // The kills must have landed amid writing, not only before the first write.
    EXPECT_GT(progressed, 10);
    EXPECT_GT(before.v[0], 10);
}

TEST(UserStore, TwoProcessesWritingTheSameKeyBothSucceed)
{
    TempDir tmp;
    const QString file = qpath(tmp / "registry.db");
    const int rounds = 150;
    ChildProcess a({USERSTORE_WRITER, file.toStdString(), "contend", "1", std::to_string(rounds)},
                   (tmp / "a.log").string());
    ChildProcess b({USERSTORE_WRITER, file.toStdString(), "contend", "2", std::to_string(rounds)},
                   (tmp / "b.log").string());
    EXPECT_EQ(a.wait(), 0) << readAll(qpath(tmp / "a.log")).toStdString();
    EXPECT_EQ(b.wait(), 0) << readAll(qpath(tmp / "b.log")).toStdString();

    UserStore s(file);
    EXPECT_EQ(s.readInteger(QStringLiteral("Shared"), QStringLiteral("own1")), rounds);
    EXPECT_EQ(s.readInteger(QStringLiteral("Shared"), QStringLiteral("own2")), rounds);
    const std::int32_t x = s.readInteger(QStringLiteral("Shared"), QStringLiteral("x")).value_or(0);
    EXPECT_TRUE(x == 1000000 + rounds || x == 2000000 + rounds) << x;
    EXPECT_EQ(s.valueNames(QStringLiteral("shared")).size(), 3);
}

} // namespace
