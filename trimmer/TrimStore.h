// The trimmer's window state under its registry key ("Software\Snipolux"), kept in the per-user
// store (common/UserStore.h): each section is a subkey of the key, each setting a value in it.
// Reads give the default for what is missing or of another type; a write that fails is noted in
// ErrorString and changes nothing. GUI thread.
#pragma once

#include <QString>

#include <memory>

class UserStore;

class TTrimStore {
public:
    explicit TTrimStore(const QString &Key);
    ~TTrimStore();
    TTrimStore(const TTrimStore &) = delete;
    TTrimStore &operator=(const TTrimStore &) = delete;

    int ReadInteger(const QString &Section, const QString &Name, int Default);
    void WriteInteger(const QString &Section, const QString &Name, int Value);
    // A date-time value (days since 30 December 1899), stored as its 8 bytes.
    double ReadDateTime(const QString &Section, const QString &Name, double Default);
    void WriteDateTime(const QString &Section, const QString &Name, double Value);
    // Why a write failed (the last failure); empty while every write succeeded.
    QString ErrorString() const { return FError; }

private:
    QString key(const QString &Section) const { return FKey + u'\\' + Section; }
    QString FKey;
    std::unique_ptr<UserStore> FStore;
    QString FError;
};
