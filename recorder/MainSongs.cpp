// TForm1: one file per song, the songs' chapters and Record This Song for recordings kept as
// broadcast.
#include "Main.h"

#include "AuMedia.h"
#include "AuTags.h"
#include "BroadcastFile.h"
#include "BroadcastLevels.h"
#include "BroadcastM4aFile.h"
#include "IniFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QToolButton>

#include <exception>

namespace {

bool nameTaken(const QString &file)
{
    const QFileInfo info(file);
    return info.exists() || info.isSymLink();
}

QString stationAddress(TWMStreamedIn *In)
{
    const std::u16string a = In->WideFileName();
    return QString::fromUtf16(a.data(), static_cast<qsizetype>(a.size()));
}

// The settings file's key for a station: its address may hold "=" and other characters a key
// cannot.
QString offsetKey(const QString &Address)
{
    return QStringLiteral("s") +
           QString::fromLatin1(QCryptographicHash::hash(Address.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
}

const QString OffsetSection = QStringLiteral("SongOffsets");

} // namespace

std::vector<TTitleMark> TForm1::recordingMarks(const TRecordingFiles &Files) const
{
    std::vector<TTitleMark> marks;
    std::uint64_t base = 0;
    for (const QString &file : {Files.Older, Files.Current}) {
        if (file.isEmpty())
            continue;
        for (TTitleMark m : packetRing_->Marks(file.toStdString())) {
            m.Byte += base;
            marks.push_back(std::move(m));
        }
        base += static_cast<std::uint64_t>(QFileInfo(file).size());
    }
    return marks;
}

bool TForm1::splitsSongsIn(TBroadcastFormat Format)
{
    return Format == TBroadcastFormat::Mp3 || Format == TBroadcastFormat::Aac;
}

bool TForm1::splitsSongs(TBroadcastFormat Format) const
{
    return cbSongFiles->isChecked() && splitsSongsIn(Format);
}

QString TForm1::broadcastSaveExtension(TBroadcastFormat Format) const
{
    if (Format == TBroadcastFormat::Aac && cbAacFile->currentIndex() == afM4a)
        return QStringLiteral("m4a");
    return QString::fromLatin1(BroadcastExtension(Format));
}

QString TForm1::songFolder()
{
    QString folder = edSongDir->text().trimmed();
    if (folder.isEmpty())
        folder = path() + QStringLiteral("Songs");
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

void TForm1::songFolderButtonClick()
{
    const QString chosen = songFolderDialogHook
                               ? songFolderDialogHook()
                               : QFileDialog::getExistingDirectory(this, QStringLiteral("Folder for Songs"), songFolder());
    if (!chosen.isEmpty())
        edSongDir->setText(chosen);
}

TSongOffset TForm1::songOffset(const QString &Address)
{
    const IniFile ini(inifilename());
    return TSongOffset::FromText(ini.readString(OffsetSection, offsetKey(Address), QString()).toStdString());
}

void TForm1::storeSongOffset(const QString &Address, const TSongOffset &Offset)
{
    IniFile ini(inifilename());
    ini.writeString(OffsetSection, offsetKey(Address), QString::fromStdString(Offset.Text()));
}

bool TForm1::readRecording(const TRecordingFiles &Files, std::vector<std::uint8_t> &Stream)
{
    for (const QString &file : {Files.Older, Files.Current}) {
        if (file.isEmpty())
            continue;
        QFile f(file);
        QByteArray bytes;
        if (f.open(QIODevice::ReadOnly))
            bytes = f.readAll();
        if (!f.isOpen() || f.error() != QFileDevice::NoError) {
            keepRecordingFiles(Files, QStringLiteral("The recording could not be saved: its file ") + file +
                                          QStringLiteral(" cannot be read (") + f.errorString() + QStringLiteral(")."));
            return false;
        }
        Stream.insert(Stream.end(), bytes.begin(), bytes.end());
    }
    if (const std::string ringError = packetRing_->Error(); !ringError.empty())
        setStatusPanelText(QStringLiteral("Part of the recording may be missing: ") + QString::fromStdString(ringError));
    return true;
}

TForm1::TRecordingSongs TForm1::recordingSongs(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                               const std::vector<TTitleMark> &Marks)
{
    TRecordingSongs r;
    r.Frames = IndexBroadcastFrames(Format, Stream);
    if (r.Frames.Offsets.empty())
        return r;
    const QString address = stationAddress(WMStreamedIn1);
    TSongOffset learned = songOffset(address);
    TSongSplitInput in;
    in.Frames = r.Frames;
    in.Marks = Marks;
    in.OffsetMs = learned.ExpectedMs();
    in.Decode = [&](std::size_t First, std::size_t Count) {
        try {
            return DecodeBroadcastStretch(Format, Stream.data(), Stream.size(), r.Frames, First, Count);
        } catch (const std::exception &) {
            return TBroadcastPcm{}; // the change stays where the title said
        }
    };
    int from = -1;
    if (recordSongByte_ >= 0)
        for (std::size_t i = 0; i < Marks.size(); ++i)
            if (Marks[i].Change && static_cast<std::int64_t>(Marks[i].Byte) == recordSongByte_)
                from = static_cast<int>(i);
    const TSongSplit split = SplitSongs(in, from);
    for (int ms : split.OffsetsMs)
        learned.Add(ms);
    if (!split.OffsetsMs.empty())
        storeSongOffset(address, learned);
    r.Songs = split.Songs;
    return r;
}

TBroadcastTags TForm1::stationTags()
{
    TBroadcastTags tags;
    const std::u16string title = WMStreamedIn1->StreamTitle();
    SplitStreamTitle(QString::fromUtf16(title.data(), static_cast<qsizetype>(title.size())).toStdString(), tags.Artist,
                     tags.Title);
    QString station;
    if (TId3v2Tags *t = WMStreamedIn1->Id3v2Tags()) {
        const std::u16string name = t->Artist(); // the station's own name (icy-name)
        station = QString::fromUtf16(name.data(), static_cast<qsizetype>(name.size())).trimmed();
    }
    if (station.isEmpty())
        station = busStation_.isEmpty() ? ComboBox1->currentText() : busStation_;
    tags.Album = station.toStdString();
    tags.Comment = stationAddress(WMStreamedIn1).toStdString();
    tags.Date = QDate::currentDate().toString(Qt::ISODate).toStdString();
    return tags;
}

void TForm1::writeBroadcastStretch(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                   std::int64_t Begin, std::int64_t End, const TBroadcastTags &Tags,
                                   const QString &Path)
{
    if (Format == TBroadcastFormat::Aac && cbAacFile->currentIndex() == afM4a) {
        WriteM4aBroadcastFile(Stream, Begin, End, Tags, Path.toStdString());
        return;
    }
    if (End < 0) {
        WriteBroadcastFile(Format, Stream, Tags, Path.toStdString());
        return;
    }
    WriteBroadcastRange(Format, Stream, Begin, End, Tags, Path.toStdString());
}

void TForm1::saveSongs(TBroadcastFormat Format, const TRecordingFiles &Files, const std::vector<TTitleMark> &Marks)
{
    std::vector<std::uint8_t> stream;
    if (!readRecording(Files, stream))
        return;
    Saving = true;
    QCoreApplication::processEvents();
    const TRecordingSongs r = recordingSongs(Format, stream, Marks);
    const QString folder = songFolder();
    if (r.Songs.empty() || !QDir().mkpath(folder)) {
        Saving = false;
        keepRecordingFiles(Files, r.Songs.empty() ? QStringLiteral("The recording could not be saved: it holds no audio.")
                                                  : QStringLiteral("The songs could not be saved: the folder ") + folder +
                                                        QStringLiteral(" cannot be made."));
        return;
    }
    const QString ext = broadcastSaveExtension(Format);
    const TBroadcastTags station = stationTags();
    int saved = 0, left = 0;
    for (const TSong &song : r.Songs) {
        if (song.Partial() && !cbKeepPartial->isChecked()) {
            ++left;
            continue;
        }
        TBroadcastTags tags = station;
        SplitStreamTitle(song.Title, tags.Artist, tags.Title);
        tags.Partial = song.Partial();
        const QString stem = QString::fromStdString(SongFileStem(song.Title));
        QString file = folder + stem + QLatin1Char('.') + ext;
        for (int n = 2; nameTaken(file); ++n)
            file = folder + stem + QStringLiteral(" (") + QString::number(n) + QStringLiteral(").") + ext;
        try {
            writeBroadcastStretch(Format, stream, song.Begin, song.End, tags, file);
        } catch (const std::exception &e) {
            Saving = false;
            QString why = QStringLiteral("The song \"") + QString::fromStdString(song.Title) +
                          QStringLiteral("\" could not be saved: ") + QString::fromUtf8(e.what());
            if (saved > 0)
                why += QStringLiteral(" The %1 songs before it are in %2.").arg(saved).arg(folder);
            keepRecordingFiles(Files, why);
            return;
        }
        ++saved;
        lastSaveName_ = file;
    }
    Saving = false;
    if (saved == 0) {
        // Nothing whole to save: the recording stays, so nothing is lost by the choice.
        keepRecordingFiles(Files, QStringLiteral("No whole song was recorded, and songs joined mid-way are left out, "
                                                 "so no song was saved."));
        return;
    }
    for (const QString &file : {Files.Older, Files.Current})
        if (!file.isEmpty())
            QFile::remove(file);
    QString done = saved == 1 ? QStringLiteral("Saved 1 song in ") + folder
                              : QStringLiteral("Saved %1 songs in %2").arg(saved).arg(folder);
    if (left > 0)
        done += left == 1 ? QStringLiteral(" (1 song joined mid-way left out)")
                          : QStringLiteral(" (%1 songs joined mid-way left out)").arg(left);
    setStatusPanelText(done + QLatin1Char('.'));
}

void TForm1::RecordSongButtonClick()
{
    if (!btnRecordSong->isEnabled())
        return;
    const bool prerec = RecState >= rsPrerecStart && RecState <= rsPrerecTap1;
    // Songs are found in MP3 and AAC recordings; an Ogg one is kept whole.
    const bool ogg = prerec && IsOggFormat(broadcastFormat_);
    const bool ring = prerec && splitsSongsIn(broadcastFormat_);
    std::int64_t songByte = -1;
    if (ring) {
        const std::vector<TTitleMark> marks = recordingMarks(RecordingFiles(RecState, ringFile_[0], ringFile_[1]));
        for (auto m = marks.rbegin(); m != marks.rend(); ++m)
            if (m->Change) {
                songByte = static_cast<std::int64_t>(m->Byte);
                break;
            }
    }
    RecordButtonClick();
    if (RecState != rsRecording && RecState != rsRecordingPlain)
        return;
    recordSongByte_ = songByte;
    if (songByte >= 0)
        return;
    if (ring)
        setStatusPanelText(QStringLiteral("The start of this song is no longer kept: the recording begins with the "
                                          "oldest kept audio."));
    else if (ogg)
        setStatusPanelText(QStringLiteral("Songs are found only in MP3 and AAC recordings: the recording begins "
                                          "with the oldest kept audio."));
    else if (prerec)
        setStatusPanelText(QStringLiteral("Songs are found only when recording as broadcast: the recording begins "
                                          "with the oldest kept audio."));
    else
        setStatusPanelText(QStringLiteral("Pre-recording is off: the recording begins now."));
}
