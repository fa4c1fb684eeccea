// The per-user typed store: a tree of keys holding named values of three types (string, 32-bit
// integer, binary), kept in an SQLite file under $XDG_CONFIG_HOME (default ~/.config) in the
// "Zorbel" folder. Both programs use it: the recorder for its scheduled timers, the trimmer for
// its window state.
//
// Names:
// - a key is a path of names separated by "\" ("Software\.alarms.0\first"); empty parts and
//   leading or trailing separators are ignored; key and value names are matched without regard
//   to letter case, and a key or value keeps the spelling it was created with;
// - the empty path is the root, which always exists.
//
// Contract:
// - Reads of a missing key or value give nothing (std::nullopt). A read of a value stored with
//   another type throws UserStoreError "Invalid data type for '<name>'".
// - Every write is one transaction (it creates the key and its parents when missing) and is
//   durable when the call returns (write-ahead log, synchronous FULL); a process killed at any
//   moment leaves each value as it was before or after its last write. A write that fails throws
//   UserStoreError "Failed to set data for '<name>'" and changes nothing.
// - Several processes may write at once: a write waits up to busyTimeoutMs for another's to end.
// - When the file is damaged or no SQLite database, the store moves it aside (and its log),
//   starts a new empty one and leaves a notice for the user (takeNotice). When the folder or
//   file cannot be used at all, the store is unusable: reads give nothing, writes throw.
//
// One object is one connection; use it from one thread. Objects are cheap enough to open per
// task (a recall or a save); open objects see each other's committed writes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <stdexcept>

struct sqlite3;

class UserStoreError : public std::runtime_error {
public:
    explicit UserStoreError(const QString &message)
        : std::runtime_error(message.toStdString()), message_(message) {}
    const QString &message() const { return message_; }

private:
    QString message_;
};

class UserStore {
public:
    enum class ValueType { None = 0, String = 1, Integer = 2, Binary = 3 };

    // The user's store: defaultFileName().
    UserStore();
    // A store in the given file (its folder is created when missing).
    explicit UserStore(const QString &fileName);
    ~UserStore();
    UserStore(const UserStore &) = delete;
    UserStore &operator=(const UserStore &) = delete;

    // $XDG_CONFIG_HOME (or ~/.config) + "/Zorbel/registry.db".
    static QString defaultFileName();

    // False when the file could not be opened or created; why in openError().
    bool isUsable() const { return db_ != nullptr; }
    const QString &openError() const { return openError_; }
    const QString &fileName() const { return fileName_; }

    // How long a write waits for another process's write to end.
    static constexpr int busyTimeoutMs = 10000;

    // Creates the key and its parents; true when it exists afterwards.
    bool createKey(const QString &key);
    bool keyExists(const QString &key);
    // Names of the direct subkeys and of the values of key, in creation order.
    QStringList subKeyNames(const QString &key);
    QStringList valueNames(const QString &key);
    // Removes a key with its subkeys and values (not the root); true when something was removed.
    bool deleteKey(const QString &key);
    bool deleteValue(const QString &key, const QString &name);

    ValueType valueType(const QString &key, const QString &name);
    bool valueExists(const QString &key, const QString &name) { return valueType(key, name) != ValueType::None; }

    std::optional<QString> readString(const QString &key, const QString &name);
    std::optional<std::int32_t> readInteger(const QString &key, const QString &name);
    std::optional<QByteArray> readBinary(const QString &key, const QString &name);

    void writeString(const QString &key, const QString &name, const QString &value);
    void writeInteger(const QString &key, const QString &name, std::int32_t value);
    void writeBinary(const QString &key, const QString &name, const QByteArray &value);

    // A notice for the user about the store file found damaged (and moved aside) or not usable,
    // returned once per process and then empty.
    static QString takeNotice();

private:
    void open();
    bool openAndCheck(QString *why);
    void setAside(const QString &why);
    void closeDb();
    // Runs sql without results; false (with the message in *why) on failure.
    bool exec(const char *sql, QString *why = nullptr);
    void writeValue(const QString &key, const QString &name, ValueType type, const QByteArray *blob,
                    const QString *text, std::int32_t number);
    bool ensureKey(const QString &normalized);

    QString fileName_;
    QString openError_;
    sqlite3 *db_ = nullptr;
};
