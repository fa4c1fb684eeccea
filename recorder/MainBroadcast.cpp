// TForm1: recording as broadcast - the mode box, the compressed ring's segments and saving the
// station's own frames.
#include "Main.h"

#include "AuMedia.h"
#include "BroadcastFile.h"
#include "BroadcastOggFile.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>

#include <algorithm>
#include <stdexcept>
#include <vector>

void TForm1::updateRecordModeItems()
{
    // cmmbr's items are "Auto" and "N Kbps".
    const QString chosen = cmmbr->currentText();
    const QString text = chosen.endsWith(QStringLiteral(" Kbps"))
                             ? QStringLiteral("MP3 at ") + chosen.chopped(5) + QStringLiteral(" kbit/s")
                             : QStringLiteral("MP3 at the encoder's own bit rate");
    cbRecordMode->setItemText(rmMp3, text);
}

TBroadcastFormat TForm1::broadcastFormatNow()
{
    if (cbRecordMode->currentIndex() != rmAsBroadcast)
        return TBroadcastFormat::None;
    const TBroadcastFormat format = WMStreamedIn1->BroadcastFormat();
    broadcastStream_ = WMStreamedIn1->BroadcastStream();
    if (format == TBroadcastFormat::None)
        setStatusPanelText(QStringLiteral("This station's audio cannot be kept as broadcast; it is recorded as MP3."));
    return format;
}

QString TForm1::ringExtension(TBroadcastFormat Format)
{
    const QString ext = QString::fromLatin1(BroadcastExtension(Format));
    return IsOggFormat(Format) ? ext + QStringLiteral("-packets") : ext;
}

void TForm1::startRingSegment(int Slot, const QString &File)
{
    ringFile_[static_cast<std::size_t>(Slot)] = File;
    if (packetRing_->StartSegment(File.toStdString())) {
        ringWarned_ = false;
        return;
    }
    // Said once until a segment starts again; receiving goes on.
    if (!ringWarned_) {
        ringWarned_ = true;
        report(QStringLiteral("The recording cannot be kept: ") + QString::fromStdString(packetRing_->Error()));
    }
}

void TForm1::saveAsBroadcast(TBroadcastFormat Format, const TRecordingFiles &Files, const QString &Target,
                             const std::vector<TTitleMark> &Marks)
{
    std::vector<std::uint8_t> stream;
    if (!readRecording(Files, stream))
        return;
    TBroadcastTags tags = stationTags();
    Saving = true;
    QCoreApplication::processEvents();
    try {
        if (IsOggFormat(Format)) {
            if (broadcastStream_.Format != Format)
                throw std::runtime_error("the station's stream description is missing");
            WriteOggBroadcastFile(broadcastStream_, stream, tags, Target.toStdString());
        } else {
            // The songs it holds give a long recording its chapters, and one made by Record
            // This Song its start.
            std::int64_t begin = 0, end = -1;
            const bool changes = std::any_of(Marks.begin(), Marks.end(), [](const TTitleMark &m) { return m.Change; });
            if (changes || recordSongByte_ >= 0) {
                const TRecordingSongs r = recordingSongs(Format, stream, Marks);
                if (!r.Songs.empty()) {
                    begin = r.Songs.front().Begin;
                    if (begin > 0)
                        end = r.Frames.Samples();
                    if (r.Songs.size() >= 2)
                        tags.Chapters = SongChapters(r.Songs, r.Frames.SampleRate);
                    if (recordSongByte_ >= 0 && !r.Songs.front().JoinedMidway)
                        SplitStreamTitle(r.Songs.front().Title, tags.Artist, tags.Title);
                }
            }
            writeBroadcastStretch(Format, stream, begin, end, tags, Target);
        }
    } catch (const std::exception &e) {
        Saving = false;
        keepRecordingFiles(Files, QStringLiteral("The recording could not be saved: ") + QString::fromUtf8(e.what()));
        return;
    }
    Saving = false;
    for (const QString &file : {Files.Older, Files.Current})
        if (!file.isEmpty())
            QFile::remove(file);
}
