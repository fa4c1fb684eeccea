#include "IniFile.h"

#include <QStringDecoder>

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QString decode(const QByteArray &bytes)
{
    // Invalid sequences become replacement characters; the raw bytes stay in the line. A
    // U+FEFF at the start of a name or value is text like any other (fromUtf8 would drop it, so
    // a value starting with one would change when written back); the file's own byte order
    // mark is dealt with before lines are split.
    QStringDecoder toUtf16(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return toUtf16(bytes);
}

QByteArray trimmedBytes(const QByteArray &b)
{
    return b.trimmed();
}

// Appends name unless a name that differs from it at most in case came before.
void appendFirstSpelling(QStringList &out, QSet<QString> &seen, const QString &name)
{
    const QString folded = name.toCaseFolded();
    if (seen.contains(folded))
        return;
    seen.insert(folded);
    out << name;
}

} // namespace

IniFile::IniFile(QString fileName) : fileName_(std::move(fileName))
{
    QFile f(fileName_);
    if (!f.exists())
        return;
    if (!f.open(QIODevice::ReadOnly)) {
        readError_ = QStringLiteral("Could not read \"%1\": %2").arg(fileName_, f.errorString());
        return;
    }
    parse(f.readAll());
    if (f.error() != QFileDevice::NoError)
        readError_ = QStringLiteral("Could not read \"%1\": %2").arg(fileName_, f.errorString());
}

void IniFile::parse(const QByteArray &data)
{
    qsizetype start = 0;
    const qsizetype n = data.size();
    bool sawLine = false;
    // A UTF-8 byte order mark, as some editors write, would hide the first section header.
    const QByteArray bom = QByteArrayLiteral("\xef\xbb\xbf");
    while (start < n) {
        qsizetype end = data.indexOf('\n', start);
        if (end < 0)
            end = n;
        QByteArray raw = data.mid(start, end - start);
        if (raw.endsWith('\r')) {
            raw.chop(1);
            if (!sawLine)
                crlf_ = true;
        }
        if (!sawLine && raw.startsWith(bom)) {
            Line first = parseLine(raw.mid(bom.size()));
            first.raw = raw; // the mark stays in the file
            lines_.push_back(first);
        } else {
            lines_.push_back(parseLine(raw));
        }
        sawLine = true;
        start = end + 1;
    }
}

IniFile::Line IniFile::parseLine(const QByteArray &raw)
{
    Line line;
    line.raw = raw;
    const QByteArray t = trimmedBytes(raw);
    if (t.isEmpty() || t.startsWith(';'))
        return line;
    if (t.startsWith('[')) {
        const qsizetype close = t.indexOf(']');
        if (close < 0)
            return line;
        line.kind = Line::Section;
        line.name = decode(t.mid(1, close - 1)).trimmed();
        return line;
    }
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0)
        return line;
    line.name = decode(t.left(eq)).trimmed();
    if (line.name.isEmpty())
        return line;
    line.kind = Line::Key;
    QString v = decode(t.mid(eq + 1)).trimmed();
    if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    line.value = v;
    return line;
}

long IniFile::findSection(const QString &section) const
{
    // Names are stored trimmed, so they are looked up trimmed: a genre typed as "Jazz " must
    // reach the "[Jazz]" section, not start a second one that no reader ever sees.
    const QString name = section.trimmed();
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Line::Section &&
            lines_[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<long>(i);
    return -1;
}

long IniFile::findKey(long s, const QString &key) const
{
    const QString name = key.trimmed();
    for (size_t i = static_cast<size_t>(s) + 1; i < lines_.size(); ++i) {
        if (lines_[i].kind == Line::Section)
            break;
        if (lines_[i].kind == Line::Key && lines_[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<long>(i);
    }
    return -1;
}

QStringList IniFile::sections() const
{
    QStringList out;
    QSet<QString> seen;
    for (const Line &l : lines_) {
        if (l.kind == Line::Section)
            appendFirstSpelling(out, seen, l.name);
    }
    return out;
}

QStringList IniFile::keys(const QString &section) const
{
    QStringList out;
    const long s = findSection(section);
    if (s < 0)
        return out;
    QSet<QString> seen;
    for (size_t i = static_cast<size_t>(s) + 1; i < lines_.size(); ++i) {
        const Line &l = lines_[i];
        if (l.kind == Line::Section)
            break;
        if (l.kind == Line::Key)
            appendFirstSpelling(out, seen, l.name);
    }
    return out;
}

bool IniFile::sectionExists(const QString &section) const
{
    return findSection(section) >= 0;
}

std::optional<QString> IniFile::value(const QString &section, const QString &key) const
{
    const long s = findSection(section);
    if (s < 0)
        return std::nullopt;
    const long k = findKey(s, key);
    if (k < 0)
        return std::nullopt;
    return lines_[static_cast<size_t>(k)].value;
}

QString IniFile::readString(const QString &section, const QString &key, const QString &def) const
{
    return value(section, key).value_or(def);
}

int IniFile::readInteger(const QString &section, const QString &key, int def) const
{
    const auto v = value(section, key);
    if (!v)
        return def;
    bool ok = false;
    const int n = v->toInt(&ok, 10);
    return ok ? n : def;
}

bool IniFile::readBool(const QString &section, const QString &key, bool def) const
{
    return readInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::validName(const QString &section, const QString &key, const QString &value)
{
    auto hasBreak = [](const QString &s) {
        return s.contains(u'\n') || s.contains(u'\r') || s.contains(QChar(0));
    };
    const QString k = key.trimmed();
    const QString s = section.trimmed();
    if (s.isEmpty() || hasBreak(s) || s.contains(u']'))
        error_ = QStringLiteral("The section name \"%1\" cannot be stored in an INI file.").arg(section);
    else if (k.isEmpty() || hasBreak(k) || k.contains(u'=') || k.startsWith(u'[') || k.startsWith(u';'))
        error_ = QStringLiteral("The name \"%1\" cannot be stored in an INI file.").arg(key);
    else if (hasBreak(value))
        error_ = QStringLiteral("A value with a line break cannot be stored in an INI file.");
    else
        return true;
    return false;
}

bool IniFile::writeString(const QString &section, const QString &key, const QString &value)
{
    error_.clear();
    if (!validName(section, key, value))
        return false;
    Line line;
    line.kind = Line::Key;
    line.name = key.trimmed();
    line.value = value;
    line.raw = line.name.toUtf8() + '=' + value.toUtf8();
    // A value with blanks or quotes at its ends would read back changed; quote it.
    if (value != value.trimmed() ||
        (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front()))
        line.raw = line.name.toUtf8() + "=\"" + value.toUtf8() + '"';

    const long s = findSection(section);
    if (s < 0) {
        Line header;
        header.kind = Line::Section;
        header.name = section.trimmed();
        header.raw = '[' + header.name.toUtf8() + ']';
        lines_.push_back(header);
        lines_.push_back(line);
    } else {
        const long k = findKey(s, key);
        if (k >= 0) {
            // The key keeps its original spelling and bytes; only the value changes.
            const Line &old = lines_[static_cast<size_t>(k)];
            line.name = old.name;
            line.raw = old.raw.left(old.raw.indexOf('=')) + line.raw.mid(line.raw.indexOf('='));
            lines_[static_cast<size_t>(k)] = line;
        } else {
            // After the section's last non-blank line, so blank separators stay at its end.
            size_t at = static_cast<size_t>(s) + 1;
            for (size_t i = at; i < lines_.size() && lines_[i].kind != Line::Section; ++i)
                if (!lines_[i].raw.trimmed().isEmpty())
                    at = i + 1;
            lines_.insert(lines_.begin() + static_cast<long>(at), line);
        }
    }
    dirty_ = true;
    return autoFlush_ ? flush() : true;
}

bool IniFile::writeInteger(const QString &section, const QString &key, int value)
{
    return writeString(section, key, QString::number(value));
}

bool IniFile::writeBool(const QString &section, const QString &key, bool value)
{
    return writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool IniFile::flush()
{
    error_.clear();
    if (!dirty_)
        return true;
    // Writing replaces the whole file with the snapshot; a snapshot of a file that could not be
    // read would throw away everything the file held (a whole station list for one new entry).
    if (!readError_.isEmpty()) {
        error_ = readError_;
        return false;
    }
    const QByteArray eol = crlf_ ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    QByteArray data;
    for (const Line &l : lines_) {
        data += l.raw;
        data += eol;
    }
    if (!writeFileAtomically(fileName_, data, &error_))
        return false;
    dirty_ = false;
    return true;
}

bool writeFileAtomically(const QString &fileName, const QByteArray &data, QString *error)
{
    // A symbolic link is written through, as a plain write would be: the file it names gets
    // the new contents and the link stays a link.
    QString target = fileName;
    const QFileInfo link(fileName);
    if (link.isSymLink()) {
        const QString canonical = link.canonicalFilePath();
        target = canonical.isEmpty() ? link.symLinkTarget() : canonical;
    }
    const QFileInfo info(target);
    const QString dir = info.absolutePath();
    QByteArray tmpl = QFile::encodeName(dir + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    auto fail = [&](const QString &what, int err) {
        if (error)
            *error = QStringLiteral("Could not write \"%1\" (%2): %3").arg(fileName, what, systemError(err));
        return false;
    };

    const int fd = mkstemp(tmpl.data());
    if (fd < 0)
        return fail(QStringLiteral("creating a temporary file"), errno);

    struct stat st {};
    mode_t mode = 0644;
    if (stat(QFile::encodeName(target).constData(), &st) == 0)
        mode = st.st_mode & 07777;
    fchmod(fd, mode);

    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t w = ::write(fd, p, static_cast<size_t>(left));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            ::unlink(tmpl.constData());
            return fail(QStringLiteral("writing"), err);
        }
        p += w;
        left -= w;
    }
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(tmpl.constData());
        return fail(QStringLiteral("syncing"), err);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmpl.constData());
        return fail(QStringLiteral("closing"), err);
    }
    if (::rename(tmpl.constData(), QFile::encodeName(target).constData()) != 0) {
        const int err = errno;
        ::unlink(tmpl.constData());
        return fail(QStringLiteral("replacing the file"), err);
    }
    // Make the rename itself durable; failing to sync a folder loses nothing already written.
    const int dfd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    if (error)
        error->clear();
    return true;
}
