// Where the recorder keeps its settings and station list: the per-user data folder
// "$XDG_DATA_HOME/Zorbel/Fonolux/" (XDG_DATA_HOME defaulting to ~/.local/share), seeded at its
// creation from the seed files beside the program.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The per-user data home: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
QString xdgDataHome();

// xdgDataHome() + "/Zorbel/Fonolux/".
QString dataFolderPath();

// Creates folder with its missing parents, runs pump twice, then copies the seeds
// "stations.ini.bu" and "Fonolux.INI.bu" from seedFolder as "stations.INI" and "Fonolux.INI",
// replacing files of those names. A missing seed is skipped; a seed that cannot be copied is
// described in *errors. Returns whether folder exists.
bool createAndSeedDataFolder(const QString &folder, const QString &seedFolder,
                             const std::function<void()> &pump, QStringList *errors = nullptr);
