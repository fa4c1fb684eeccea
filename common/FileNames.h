// File names in the programs' data and working folders are matched without regard to letter
// case, as users and older copies of the files expect ("stations.INI" is "stations.ini").
#pragma once

#include <QString>

// The path of the entry of folder whose name equals name regardless of case: an exact match
// first, otherwise the first entry that matches ignoring case, otherwise folder/name (for a
// file still to be created). folder may or may not end with "/".
QString findFileNoCase(const QString &folder, const QString &name);

// folder with exactly one "/" at the end.
QString withTrailingSlash(const QString &folder);
