#include "FileNames.h"

#include <QDir>
#include <QFileInfo>

QString withTrailingSlash(const QString &folder)
{
    if (folder.endsWith(u'/'))
        return folder;
    return folder + u'/';
}

QString findFileNoCase(const QString &folder, const QString &name)
{
    const QString dir = withTrailingSlash(folder);
    const QString exact = dir + name;
    if (QFileInfo::exists(exact))
        return exact;
    const QStringList entries =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &e : entries)
        if (e.compare(name, Qt::CaseInsensitive) == 0)
            return dir + e;
    return exact;
}
