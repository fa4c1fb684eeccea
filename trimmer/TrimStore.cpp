// The window state's store: an INI file per user beside the other per-user configuration.
#include "TrimStore.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

#include <cstring>

namespace {

QString storeFile()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Zorbel/trimmer-state.ini");
}

} // namespace

TTrimStore::TTrimStore(const QString &Key)
    : FKey(QString(Key).replace(u'\\', u'/')), FSettings(std::make_unique<QSettings>(storeFile(), QSettings::IniFormat))
{
}

TTrimStore::~TTrimStore() = default;

QString TTrimStore::path(const QString &Section, const QString &Name) const
{
    return FKey + u'/' + Section + u'/' + Name;
}

int TTrimStore::ReadInteger(const QString &Section, const QString &Name, int Default) const
{
    bool ok = false;
    const int v = FSettings->value(path(Section, Name)).toInt(&ok);
    return ok ? v : Default;
}

void TTrimStore::WriteInteger(const QString &Section, const QString &Name, int Value)
{
    FSettings->setValue(path(Section, Name), Value);
    FSettings->sync();
    FError = FSettings->status() == QSettings::NoError ? QString() : QStringLiteral("cannot write ") + FSettings->fileName();
}

double TTrimStore::ReadDateTime(const QString &Section, const QString &Name, double Default) const
{
    const QByteArray bytes = FSettings->value(path(Section, Name)).toByteArray();
    if (bytes.size() != sizeof(double))
        return Default;
    double v = 0;
    std::memcpy(&v, bytes.constData(), sizeof v);
    return v;
}

void TTrimStore::WriteDateTime(const QString &Section, const QString &Name, double Value)
{
    QByteArray bytes(sizeof Value, '\0');
    std::memcpy(bytes.data(), &Value, sizeof Value);
    FSettings->setValue(path(Section, Name), bytes);
    FSettings->sync();
    FError = FSettings->status() == QSettings::NoError ? QString() : QStringLiteral("cannot write ") + FSettings->fileName();
}
