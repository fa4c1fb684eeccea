// The per-user typed store on SQLite: opening with a check and repair of a damaged file, the key
// tree and the typed values.
#include "UserStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The schema. Keys and values are found by their case-folded names ("fold"); the spelling they
// were created with is kept for listing. The root key is the empty path and is not stored.
const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS store_keys("
    "  fold TEXT PRIMARY KEY NOT NULL, parent TEXT NOT NULL, name TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS store_values("
    "  key TEXT NOT NULL, fold TEXT NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL, data,"
    "  PRIMARY KEY(key, fold));";

std::mutex &noticeLock()
{
    static std::mutex m;
    return m;
}
QString &pendingNotice()
{
    static QString s;
    return s;
}
bool &noticeGiven()
{
    static bool b = false;
    return b;
}

void leaveNotice(const QString &text)
{
    std::lock_guard<std::mutex> l(noticeLock());
    if (!noticeGiven() && pendingNotice().isEmpty())
        pendingNotice() = text;
}

// A key path without empty parts: "\a\\b\" is "a\b".
QStringList keyParts(const QString &key)
{
    return key.split(u'\\', Qt::SkipEmptyParts);
}

QString normalizedKey(const QString &key)
{
    return keyParts(key).join(u'\\');
}

QString foldName(const QString &name)
{
    return name.toCaseFolded();
}

QString lastError(sqlite3 *db)
{
    return QString::fromUtf8(sqlite3_errmsg(db));
}

// A prepared statement, finalized when it goes away.
class Stmt {
public:
    Stmt(sqlite3 *db, const char *sql) : db_(db)
    {
        if (db_)
            rc_ = sqlite3_prepare_v2(db_, sql, -1, &s_, nullptr);
    }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    bool ok() const { return s_ != nullptr && rc_ == SQLITE_OK; }
    Stmt &bind(int i, const QString &text)
    {
        const QByteArray u = text.toUtf8();
        if (s_)
            sqlite3_bind_text(s_, i, u.constData(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &bind(int i, std::int64_t v)
    {
        if (s_)
            sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt &bindBlob(int i, const QByteArray &b)
    {
        // An empty blob must stay a blob, not become NULL.
        if (s_)
            sqlite3_bind_blob(s_, i, b.isEmpty() ? "" : b.constData(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step()
    {
        if (!s_)
            return rc_ == SQLITE_OK ? SQLITE_MISUSE : rc_;
        return sqlite3_step(s_);
    }
    QString text(int col) const
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(s_, col));
        return QString::fromUtf8(p, sqlite3_column_bytes(s_, col));
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(s_, col); }
    QByteArray blob(int col) const
    {
        const void *p = sqlite3_column_blob(s_, col);
        return QByteArray(static_cast<const char *>(p), sqlite3_column_bytes(s_, col));
    }

private:
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *s_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

// Holds an exclusive lock on "<store>.lock" while a process opens, checks and perhaps repairs
// the store, so that two programs starting together never both move a file aside.
class OpenLock {
public:
    explicit OpenLock(const QString &storeFile)
    {
        fd_ = ::open(QFile::encodeName(storeFile + QStringLiteral(".lock")).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~OpenLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // closing releases the lock
    }
    OpenLock(const OpenLock &) = delete;
    OpenLock &operator=(const OpenLock &) = delete;

private:
    int fd_ = -1;
};

} // namespace

QString UserStore::defaultFileName()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Zorbel/registry.db");
}

UserStore::UserStore() : UserStore(defaultFileName()) {}

UserStore::UserStore(const QString &fileName) : fileName_(fileName)
{
    open();
}

UserStore::~UserStore()
{
    closeDb();
}

QString UserStore::takeNotice()
{
    std::lock_guard<std::mutex> l(noticeLock());
    QString out;
    if (!noticeGiven() && !pendingNotice().isEmpty()) {
        out = pendingNotice();
        pendingNotice().clear();
        noticeGiven() = true;
    }
    return out;
}

void UserStore::closeDb()
{
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool UserStore::exec(const char *sql, QString *why)
{
    char *err = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK && why)
        *why = err ? QString::fromUtf8(err) : QString::fromUtf8(sqlite3_errstr(rc));
    sqlite3_free(err);
    return rc == SQLITE_OK;
}

void UserStore::open()
{
    const QString folder = QFileInfo(fileName_).absolutePath();
    if (!QDir().mkpath(folder)) {
        openError_ = QStringLiteral("the folder \"%1\" could not be created").arg(folder);
        leaveNotice(QStringLiteral("The settings store \"%1\" could not be opened (%2); settings will not be kept.")
                        .arg(fileName_, openError_));
        return;
    }
    OpenLock lock(fileName_);
    QString why;
    if (openAndCheck(&why))
        return;
    if (!db_) {
        openError_ = why;
        leaveNotice(QStringLiteral("The settings store \"%1\" could not be opened (%2); settings will not be kept.")
                        .arg(fileName_, why));
        return;
    }
    // The file opened but is damaged or holds something else: keep it for the user, start anew.
    closeDb();
    setAside(why);
    QString again;
    if (!openAndCheck(&again)) {
        closeDb();
        openError_ = again;
    }
}

// Opens the file and checks it. On failure: db_ is null when the file could not be opened at
// all (no access, a folder in its place), otherwise it is open and its contents are unusable.
bool UserStore::openAndCheck(QString *why)
{
    const QByteArray name = QFile::encodeName(fileName_);
    int rc = sqlite3_open_v2(name.constData(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        *why = db_ ? lastError(db_) : QString::fromUtf8(sqlite3_errstr(rc));
        closeDb();
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyTimeoutMs);

    auto damaged = [&](int code) { return (code & 0xff) == SQLITE_NOTADB || (code & 0xff) == SQLITE_CORRUPT; };
    auto fail = [&](int code) {
        if (!damaged(code))
            closeDb(); // access or locking trouble: nothing to set aside
        return false;
    };

    // The journal mode is kept in the file; setting it touches the header, so this is also the
    // first read that tells a file that is no database.
    {
        Stmt s(db_, "PRAGMA journal_mode=WAL");
        rc = s.step();
        if (rc != SQLITE_ROW) {
            *why = lastError(db_);
            return fail(sqlite3_extended_errcode(db_));
        }
    }
    if (!exec("PRAGMA synchronous=FULL", why))
        return fail(sqlite3_extended_errcode(db_));
    if (!exec(kSchema, why))
        return fail(sqlite3_extended_errcode(db_));
    {
        Stmt s(db_, "PRAGMA quick_check");
        rc = s.step();
        if (rc != SQLITE_ROW) {
            *why = lastError(db_);
            return fail(sqlite3_extended_errcode(db_));
        }
        const QString result = s.text(0);
        if (result != QStringLiteral("ok")) {
            *why = result;
            return false; // damaged
        }
    }
    // A database of the same name with other columns is no store of ours either.
    Stmt k(db_, "SELECT fold, parent, name FROM store_keys LIMIT 1");
    Stmt v(db_, "SELECT key, fold, name, type, data FROM store_values LIMIT 1");
    if (!k.ok() || !v.ok()) {
        *why = lastError(db_);
        return false;
    }
    return true;
}

void UserStore::setAside(const QString &why)
{
    QString aside = fileName_ + QStringLiteral(".damaged");
    for (int n = 1; QFileInfo::exists(aside); ++n)
        aside = fileName_ + QStringLiteral(".damaged.") + QString::number(n);
    if (!QFile::rename(fileName_, aside)) {
        // Cannot move it: the new store cannot take its place either.
        leaveNotice(QStringLiteral("The settings store \"%1\" is damaged (%2) and could not be moved aside; "
                                   "settings will not be kept.")
                        .arg(fileName_, why));
        return;
    }
    // The log belongs to the damaged file; the shared-memory index is rebuilt from the log.
    const QString wal = fileName_ + QStringLiteral("-wal");
    if (QFileInfo::exists(wal))
        QFile::rename(wal, aside + QStringLiteral("-wal"));
    QFile::remove(fileName_ + QStringLiteral("-shm"));
    leaveNotice(QStringLiteral("The settings store \"%1\" could not be read (%2). It was kept as \"%3\"; "
                               "the scheduled timers start with their default settings.")
                    .arg(fileName_, why, aside));
}

bool UserStore::ensureKey(const QString &normalized)
{
    const QStringList parts = keyParts(normalized);
    QString path;
    for (const QString &part : parts) {
        const QString parent = foldName(path);
        path = path.isEmpty() ? part : path + u'\\' + part;
        Stmt s(db_, "INSERT OR IGNORE INTO store_keys(fold, parent, name) VALUES(?1, ?2, ?3)");
        s.bind(1, foldName(path)).bind(2, parent).bind(3, part);
        if (s.step() != SQLITE_DONE)
            return false;
    }
    return true;
}

bool UserStore::createKey(const QString &key)
{
    if (!db_)
        return false;
    const QString k = normalizedKey(key);
    if (k.isEmpty())
        return true;
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    if (!ensureKey(k) || !exec("COMMIT")) {
        exec("ROLLBACK");
        return false;
    }
    return true;
}

bool UserStore::keyExists(const QString &key)
{
    if (!db_)
        return false;
    const QString k = normalizedKey(key);
    if (k.isEmpty())
        return true;
    Stmt s(db_, "SELECT 1 FROM store_keys WHERE fold = ?1");
    s.bind(1, foldName(k));
    return s.step() == SQLITE_ROW;
}

QStringList UserStore::subKeyNames(const QString &key)
{
    QStringList out;
    if (!db_)
        return out;
    Stmt s(db_, "SELECT name FROM store_keys WHERE parent = ?1 ORDER BY rowid");
    s.bind(1, foldName(normalizedKey(key)));
    while (s.step() == SQLITE_ROW)
        out << s.text(0);
    return out;
}

QStringList UserStore::valueNames(const QString &key)
{
    QStringList out;
    if (!db_)
        return out;
    Stmt s(db_, "SELECT name FROM store_values WHERE key = ?1 ORDER BY rowid");
    s.bind(1, foldName(normalizedKey(key)));
    while (s.step() == SQLITE_ROW)
        out << s.text(0);
    return out;
}

bool UserStore::deleteKey(const QString &key)
{
    const QString k = foldName(normalizedKey(key));
    if (!db_ || k.isEmpty())
        return false;
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    // The key itself and everything below it: "k" and "k\...". LIKE would treat "_" and "%" in
    // names as patterns, so the prefix is compared with substr.
    Stmt a(db_, "DELETE FROM store_keys WHERE fold = ?1 OR substr(fold, 1, length(?1) + 1) = ?1 || '\\'");
    a.bind(1, k);
    Stmt b(db_, "DELETE FROM store_values WHERE key = ?1 OR substr(key, 1, length(?1) + 1) = ?1 || '\\'");
    b.bind(1, k);
    bool removed = false;
    bool ok = a.step() == SQLITE_DONE;
    removed = ok && sqlite3_changes(db_) > 0;
    ok = ok && b.step() == SQLITE_DONE;
    removed = removed || (ok && sqlite3_changes(db_) > 0);
    if (!ok) {
        exec("ROLLBACK");
        return false;
    }
    if (!exec("COMMIT")) {
        exec("ROLLBACK");
        return false;
    }
    return removed;
}

bool UserStore::deleteValue(const QString &key, const QString &name)
{
    if (!db_)
        return false;
    Stmt s(db_, "DELETE FROM store_values WHERE key = ?1 AND fold = ?2");
    s.bind(1, foldName(normalizedKey(key))).bind(2, foldName(name));
    return s.step() == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

UserStore::ValueType UserStore::valueType(const QString &key, const QString &name)
{
    if (!db_)
        return ValueType::None;
    Stmt s(db_, "SELECT type FROM store_values WHERE key = ?1 AND fold = ?2");
    s.bind(1, foldName(normalizedKey(key))).bind(2, foldName(name));
    if (s.step() != SQLITE_ROW)
        return ValueType::None;
    const auto t = s.integer(0);
    if (t < 1 || t > 3)
        return ValueType::None;
    return static_cast<ValueType>(t);
}

namespace {

// Looks a value up; throws when it exists with another type.
template <typename Get>
auto readTyped(sqlite3 *db, const QString &key, const QString &name, UserStore::ValueType want, Get get)
    -> std::optional<decltype(get(std::declval<Stmt &>()))>
{
    if (!db)
        return std::nullopt;
    Stmt s(db, "SELECT type, data FROM store_values WHERE key = ?1 AND fold = ?2");
    s.bind(1, foldName(normalizedKey(key))).bind(2, foldName(name));
    const int rc = s.step();
    if (rc == SQLITE_DONE)
        return std::nullopt;
    if (rc != SQLITE_ROW)
        throw UserStoreError(QStringLiteral("Failed to get data for '%1' (%2)").arg(name, lastError(db)));
    if (s.integer(0) != static_cast<std::int64_t>(want))
        throw UserStoreError(QStringLiteral("Invalid data type for '%1'").arg(name));
    return get(s);
}

} // namespace

std::optional<QString> UserStore::readString(const QString &key, const QString &name)
{
    return readTyped(db_, key, name, ValueType::String, [](Stmt &s) { return s.text(1); });
}

std::optional<std::int32_t> UserStore::readInteger(const QString &key, const QString &name)
{
    return readTyped(db_, key, name, ValueType::Integer,
                     [](Stmt &s) { return static_cast<std::int32_t>(s.integer(1)); });
}

std::optional<QByteArray> UserStore::readBinary(const QString &key, const QString &name)
{
    return readTyped(db_, key, name, ValueType::Binary, [](Stmt &s) { return s.blob(1); });
}

void UserStore::writeValue(const QString &key, const QString &name, ValueType type, const QByteArray *blob,
                           const QString *text, std::int32_t number)
{
    const QString k = normalizedKey(key);
    auto failed = [&](const QString &why) {
        return UserStoreError(QStringLiteral("Failed to set data for '%1'").arg(name) +
                              (why.isEmpty() ? QString() : QStringLiteral(" (") + why + u')'));
    };
    if (!db_)
        throw failed(openError_);
    // IMMEDIATE takes the write lock at once, so a second writer waits here (busy timeout)
    // rather than failing halfway through.
    QString why;
    if (!exec("BEGIN IMMEDIATE", &why))
        throw failed(why);
    bool ok = ensureKey(k);
    if (ok) {
        // A value keeps the spelling of its name from its first write, as a registry does.
        Stmt s(db_, "INSERT INTO store_values(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                    "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
        s.bind(1, foldName(k)).bind(2, foldName(name)).bind(3, name).bind(4, static_cast<std::int64_t>(type));
        if (blob)
            s.bindBlob(5, *blob);
        else if (text)
            s.bind(5, *text);
        else
            s.bind(5, static_cast<std::int64_t>(number));
        ok = s.step() == SQLITE_DONE;
    }
    if (!ok || !exec("COMMIT", &why)) {
        if (why.isEmpty())
            why = lastError(db_);
        exec("ROLLBACK");
        throw failed(why);
    }
}

void UserStore::writeString(const QString &key, const QString &name, const QString &value)
{
    writeValue(key, name, ValueType::String, nullptr, &value, 0);
}

void UserStore::writeInteger(const QString &key, const QString &name, std::int32_t value)
{
    writeValue(key, name, ValueType::Integer, nullptr, nullptr, value);
}

void UserStore::writeBinary(const QString &key, const QString &name, const QByteArray &value)
{
    writeValue(key, name, ValueType::Binary, &value, nullptr, 0);
}
