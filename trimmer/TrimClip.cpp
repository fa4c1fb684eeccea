// Rules of playing and saving a stretch: speed factor, bounded bound writes, clip encoder
// settings, the hidden clip file and putting it in place.
#include "TrimClip.h"

#include "AuLame.h"
#include "AuSafeFile.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

float SpeedFactorOf(int SliderPosition)
{
    return static_cast<float>(SliderPosition) / 100.0f;
}

bool WriteUntilReadBack(std::int64_t Value, const std::function<void(std::int64_t)> &Write,
                        const std::function<std::int64_t()> &Read, const std::function<void()> &Between,
                        int Attempts)
{
    for (int k = 0; k < Attempts && Read() != Value; ++k) {
        Write(Value);
        if (Between)
            Between();
    }
    return Read() == Value;
}

void SetClipEncoderSettings(TMP3Out &Out)
{
    Out.SetBitRate(mbr128);
    Out.SetEnableBitReservoir(false);
    Out.SetStrictISO(false);
    Out.SetEnableVBR(false);
    Out.SetVBRQuality(mp3ql0);
    Out.SetAverageBitrate(mbrAuto);
    Out.SetMaximumBitrate(mbrAuto);
    Out.SetShareMode(0);
}

QString ClipPartFileName(const QString &Target, std::uint64_t Tag)
{
    const QFileInfo info(Target);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + u'.' + QString::number(Tag, 36) +
           QStringLiteral(".part");
}

bool PutClipInPlace(const QString &Part, const QString &Target, QString &Error)
{
    // One rename over the target (QFile::rename would refuse to replace it), after the clip is
    // on the disk and has the replaced file's permission bits.
    std::string error;
    if (ReplaceByPart(QFile::encodeName(Part).toStdString(), QFile::encodeName(Target).toStdString(), error))
        return true;
    Error = QString::fromLocal8Bit(error);
    DiscardClip(Part);
    return false;
}

void DiscardClip(const QString &Part)
{
    if (!Part.isEmpty())
        std::remove(QFile::encodeName(Part).constData());
}
