// The per-user store reading what it finds: a store file of arbitrary bytes (a damaged or
// foreign file, or a real store with damaged rows) must be set aside or read without a crash,
// every value read with every type either decodes or fails with the store's own error, and a
// stored date-time of any 8 bytes (NaN, infinities, far past and future) converts safely.
#include "DateTimeValue.h"
#include "UserStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

void CheckDateTime(const QByteArray &bytes)
{
    const auto v = DateTimeValue::fromBytes(bytes);
    if (bytes.size() != 8) {
        if (v)
            std::abort();
        return;
    }
    if (!v)
        std::abort();
    (void)v->date();
    (void)v->time();
    (void)v->toLocalDateTime();
    (void)v->wholeDays();
    const int s = v->secondOfDay();
    const int ms = v->msecOfDay();
    if (s < 0 || s > 86399 || ms < 0 || ms > 86399999)
        std::abort();
    if (v->toBytes() != bytes)
        std::abort(); // the bytes round-trip whatever they hold
}

// Reads everything under key with every type.
void Walk(UserStore &store, const QString &key, int depth)
{
    if (depth > 8)
        return;
    for (const QString &name : store.valueNames(key)) {
        (void)store.valueType(key, name);
        try {
            (void)store.readString(key, name);
        } catch (const UserStoreError &) {
        }
        try {
            (void)store.readInteger(key, name);
        } catch (const UserStoreError &) {
        }
        try {
            if (auto b = store.readBinary(key, name))
                CheckDateTime(*b);
        } catch (const UserStoreError &) {
        }
    }
    for (const QString &sub : store.subKeyNames(key))
        Walk(store, key.isEmpty() ? sub : key + QLatin1Char('\\') + sub, depth + 1);
}

QString Folder()
{
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/fonolux-fuzz-XXXXXX")
                                                                     : QDir::tempPath() + QStringLiteral("/fonolux-fuzz-XXXXXX"));
    return dir.path();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, size_t Size)
{
    if (Size < 1)
        return 0;
    const QByteArray rest(reinterpret_cast<const char *>(Data + 1), static_cast<qsizetype>(Size - 1));
    if (Data[0] < 64) {
        CheckDateTime(rest.left(8));
        return 0;
    }
    // Start from a clean folder: a damaged file is moved aside next to it.
    QDir folder(Folder());
    for (const QString &f : folder.entryList(QDir::Files | QDir::Hidden))
        folder.remove(f);
    const QString name = folder.filePath(QStringLiteral("registry.db"));
    {
        QFile f(name);
        if (!f.open(QIODevice::WriteOnly))
            std::abort();
        f.write(rest);
    }
    UserStore store(name);
    if (!store.isUsable())
        return 0;
    Walk(store, QString(), 0);
    // The store stays writable and readable after whatever it found.
    try {
        store.writeString(QStringLiteral("Software\\.alarms.0\\first"), QStringLiteral("play"), QStringLiteral("1"));
        if (store.readString(QStringLiteral("software\\.ALARMS.0\\first"), QStringLiteral("PLAY")) != QStringLiteral("1"))
            std::abort();
    } catch (const UserStoreError &) {
        // A file that opened but cannot take a write (a foreign schema, say) reports it.
    }
    (void)UserStore::takeNotice();
    return 0;
}
