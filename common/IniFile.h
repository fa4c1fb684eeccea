// A private-profile (INI) file: "[section]" header lines followed by "key=value" lines.
//
// Semantics, matching what the programs' settings and station files have always relied on:
// - section and key names are compared without regard to letter case;
// - sections and keys are listed in file order; a duplicated section or key is listed once and
//   the first occurrence wins on read;
// - a key that is present with an empty value reads as the empty text, an absent key as the
//   caller's default;
// - lines that are neither headers, "key=value" lines nor ";" comments are kept but ignored;
//   CRLF line ends, a missing final newline, a UTF-8 byte order mark and invalid UTF-8 are all
//   read without complaint;
// - writes go through to the file at once (unless auto-flush is turned off for a batch) and
//   replace it atomically: a temporary file in the same folder is written, synced and renamed
//   over the old one, so a crash leaves either the old or the new file, never half of one.
//   Lines the writer does not touch are kept byte for byte.
//
// The object reads the file when it is constructed and works on that snapshot; construct a new
// one to see changes made by others. Not thread-safe; use it from one thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class IniFile {
public:
    // Reads fileName. A missing file reads as an empty one; an unreadable one too, with
    // readError() telling why, and is then never written (writes fail with that reason).
    explicit IniFile(QString fileName);

    const QString &fileName() const { return fileName_; }
    const QString &readError() const { return readError_; }
    // Why the last write or flush failed; empty after a success.
    const QString &errorString() const { return error_; }

    QStringList sections() const;
    QStringList keys(const QString &section) const;
    bool sectionExists(const QString &section) const;
    std::optional<QString> value(const QString &section, const QString &key) const;

    QString readString(const QString &section, const QString &key, const QString &def) const;
    // The value read as a decimal integer; def when it is absent or not an integer.
    int readInteger(const QString &section, const QString &key, int def) const;
    // Any non-zero integer is true; def when absent or not an integer.
    bool readBool(const QString &section, const QString &key, bool def) const;

    // Each returns false and sets errorString() when the name or value cannot be stored safely
    // (an empty name, a line break, "=" in a key, "]" in a section, a key starting with "[" or
    // ";") or when the file cannot be written. The file then keeps its previous contents.
    bool writeString(const QString &section, const QString &key, const QString &value);
    bool writeInteger(const QString &section, const QString &key, int value);
    bool writeBool(const QString &section, const QString &key, bool value);

    // With auto-flush off, writes change only the snapshot until flush(); a batch of writes then
    // costs one replacement of the file.
    void setAutoFlush(bool on) { autoFlush_ = on; }
    bool flush();

private:
    struct Line {
        enum Kind { Other, Section, Key } kind = Other;
        QByteArray raw;  // the line as it stands in the file, without its line end
        QString name;    // section or key name
        QString value;   // key value, trimmed and unquoted
    };

    void parse(const QByteArray &data);
    static Line parseLine(const QByteArray &raw);
    // Index of the first header of that section, or -1.
    long findSection(const QString &section) const;
    // Index of the key line within the section starting at header index s, or -1.
    long findKey(long s, const QString &key) const;
    bool validName(const QString &section, const QString &key, const QString &value);

    QString fileName_;
    QString readError_;
    QString error_;
    std::vector<Line> lines_;
    bool crlf_ = false;
    bool autoFlush_ = true;
    bool dirty_ = false;
};

// Writes data to fileName through a synced temporary file in the same folder and a rename, so
// the file is replaced whole or not at all. A symbolic link is followed: the file it names is
// replaced and the link stays. On failure returns false and sets *error.
bool writeFileAtomically(const QString &fileName, const QByteArray &data, QString *error);
