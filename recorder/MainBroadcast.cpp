// TForm1: recording as broadcast - the mode box, the compressed ring's segments and saving the
// station's own frames.
#include "Main.h"

#include "AuMedia.h"
#include "AuTags.h"
#include "BroadcastFile.h"
#include "BroadcastOggFile.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QLabel>

#include <stdexcept>
#include <vector>

namespace {

QString fromUtf16(const std::u16string &s)
{
    return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

// Appends the whole file to Out; false when it cannot be read.
bool appendFile(const QString &File, std::vector<std::uint8_t> &Out, QString &Error)
{
    QFile f(File);
    if (!f.open(QIODevice::ReadOnly)) {
        Error = f.errorString();
        return false;
    }
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        Error = f.errorString();
        return false;
    }
    Out.insert(Out.end(), bytes.begin(), bytes.end());
    return true;
}

} // namespace

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

void TForm1::saveAsBroadcast(TBroadcastFormat Format, const TRecordingFiles &Files, const QString &Target)
{
    std::vector<std::uint8_t> stream;
    QString readError;
    for (const QString &file : {Files.Older, Files.Current}) {
        if (file.isEmpty())
            continue;
        if (!appendFile(file, stream, readError)) {
            keepRecordingFiles(Files, QStringLiteral("The recording could not be saved: its file ") + file +
                                          QStringLiteral(" cannot be read (") + readError + QStringLiteral(")."));
            return;
        }
    }
    if (const std::string ringError = packetRing_->Error(); !ringError.empty())
        setStatusPanelText(QStringLiteral("Part of the recording may be missing: ") + QString::fromStdString(ringError));

    TBroadcastTags tags;
    SplitStreamTitle(fromUtf16(WMStreamedIn1->StreamTitle()).toStdString(), tags.Artist, tags.Title);
    QString station;
    if (TId3v2Tags *t = WMStreamedIn1->Id3v2Tags())
        station = fromUtf16(t->Artist()).trimmed(); // the station's own name (icy-name)
    if (station.isEmpty())
        station = busStation_.isEmpty() ? ComboBox1->currentText() : busStation_;
    tags.Album = station.toStdString();
    tags.Comment = fromUtf16(WMStreamedIn1->WideFileName()).toStdString();
    tags.Date = QDate::currentDate().toString(Qt::ISODate).toStdString();

    Saving = true;
    QCoreApplication::processEvents();
    try {
        if (IsOggFormat(Format)) {
            if (broadcastStream_.Format != Format)
                throw std::runtime_error("the station's stream description is missing");
            WriteOggBroadcastFile(broadcastStream_, stream, tags, Target.toStdString());
        } else {
            WriteBroadcastFile(Format, stream, tags, Target.toStdString());
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
