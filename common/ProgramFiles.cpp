#include "ProgramFiles.h"

#include "FileNames.h"

#include <QDir>
#include <QFileInfo>

QStringList programFileFolders(const QString &programFolder)
{
    QStringList folders{withTrailingSlash(programFolder)};
    auto add = [&folders](const QString &folder) {
        const QFileInfo info(folder);
        if (!info.isDir())
            return;
        const QString canonical = withTrailingSlash(info.canonicalFilePath());
        for (const QString &f : folders)
            if (withTrailingSlash(QFileInfo(f).canonicalFilePath()) == canonical)
                return;
        folders << withTrailingSlash(QDir::cleanPath(folder));
    };
    add(withTrailingSlash(programFolder) + QStringLiteral("../share/fonolux"));
#ifdef FONOLUX_INSTALL_DATADIR
    add(QString::fromUtf8(FONOLUX_INSTALL_DATADIR));
#endif
    return folders;
}

QString findProgramFile(const QString &programFolder, const QString &name)
{
    for (const QString &folder : programFileFolders(programFolder)) {
        const QString path = findFileNoCase(folder, name);
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}
