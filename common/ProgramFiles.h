// Where the programs find the files they ship with (seed files, pages, the help document, the
// other program): beside the executable, as in a build tree or a copied folder, and in the
// installed data folder "<prefix>/share/fonolux/".
#pragma once

#include <QString>
#include <QStringList>

// The folders searched for programFolder's files, in this order, each ending with "/":
// programFolder itself, programFolder/../share/fonolux/ (an install moved as a whole) and the
// data folder of the install this program was built for. Folders that do not exist and
// repeats are left out, except programFolder, which is always first.
QStringList programFileFolders(const QString &programFolder);

// The path of name (matched ignoring letter case) in the first of programFileFolders that
// holds it; the empty text when none does.
QString findProgramFile(const QString &programFolder, const QString &name);
