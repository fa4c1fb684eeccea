// Read-only descriptors on the files a recording is being written to, so that their contents
// can still be had after their names are gone (the working folder deleted during a recording):
// a removed file lives on as long as a descriptor holds it.
//
// Threads: the window thread only.
#pragma once

#include <QString>

#include <map>
#include <sys/types.h>

class HeldFiles {
public:
    HeldFiles() = default;
    ~HeldFiles();
    HeldFiles(const HeldFiles &) = delete;
    HeldFiles &operator=(const HeldFiles &) = delete;

    // Holds the file Name refers to now; one stat when it is held already, and held anew when
    // the name has come to refer to another file. A missing name leaves what is held as it is.
    void hold(const QString &Name);
    // When Name no longer refers to the held file: copies the held contents to Copy (a new
    // private file) and returns true. False (Error saying why, when there is a reason) when
    // nothing is held for Name, the name is still there, or the copy fails.
    bool restore(const QString &Name, const QString &Copy, QString &Error);
    // Lets go of every file.
    void clear();
    bool empty() const { return held_.empty(); }

private:
    struct Held {
        int Fd;
        dev_t Dev;
        ino_t Ino;
    };
    std::map<QString, Held> held_;
};
