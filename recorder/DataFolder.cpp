#include "DataFolder.h"

#include "FileNames.h"
#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString xdgDataHome()
{
    const QString env = qEnvironmentVariable("XDG_DATA_HOME");
    if (!env.isEmpty() && QDir::isAbsolutePath(env))
        return QDir::cleanPath(env);
    return QDir::homePath() + QStringLiteral("/.local/share");
}

QString dataFolderPath()
{
    return withTrailingSlash(xdgDataHome()) + QStringLiteral("Zorbel/Fonolux/");
}

bool createAndSeedDataFolder(const QString &folder, const QString &seedFolder,
                             const std::function<void()> &pump, QStringList *errors)
{
    QDir().mkpath(folder);
    if (pump) {
        pump();
        pump();
    }
    if (!QFileInfo(folder).isDir())
        return false;
    const struct {
        const char *seed;
        const char *target;
    } seeds[] = {{"stations.ini.bu", "stations.INI"}, {"Fonolux.INI.bu", "Fonolux.INI"}};
    for (const auto &s : seeds) {
        QFile seed(findFileNoCase(seedFolder, QString::fromLatin1(s.seed)));
        if (!seed.open(QIODevice::ReadOnly))
            continue;
        const QByteArray data = seed.readAll();
        QString error;
        if (seed.error() != QFileDevice::NoError)
            error = QStringLiteral("Could not read \"%1\": %2").arg(seed.fileName(), seed.errorString());
        else
            writeFileAtomically(findFileNoCase(folder, QString::fromLatin1(s.target)), data, &error);
        if (!error.isEmpty() && errors)
            *errors << error;
    }
    return true;
}
