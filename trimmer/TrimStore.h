// The trimmer's window state under its registry key ("Software\Snipolux"): sections with
// typed values, read with a default for what is missing. GUI thread.
#pragma once

#include <QString>

#include <memory>

class QSettings;

class TTrimStore {
public:
    explicit TTrimStore(const QString &Key);
    ~TTrimStore();
    TTrimStore(const TTrimStore &) = delete;
    TTrimStore &operator=(const TTrimStore &) = delete;

    int ReadInteger(const QString &Section, const QString &Name, int Default) const;
    void WriteInteger(const QString &Section, const QString &Name, int Value);
    // A date-time value (days since 30 December 1899), stored as 8 bytes.
    double ReadDateTime(const QString &Section, const QString &Name, double Default) const;
    void WriteDateTime(const QString &Section, const QString &Name, double Value);
    // Why the last write failed; empty after a success.
    QString ErrorString() const { return FError; }

private:
    QString path(const QString &Section, const QString &Name) const;
    QString FKey;
    std::unique_ptr<QSettings> FSettings;
    QString FError;
};
