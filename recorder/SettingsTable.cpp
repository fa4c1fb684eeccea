// The settings file's table and the rules that read a field's text against it.
#include "SettingsTable.h"

#include <algorithm>
#include <limits>

namespace {

using K = TSettingKind;
using I = TSettingId;

// The output latency and the taps' bit rate are those the settings give the components at
// every start (501 ms, 192 kbit/s); the components start with them too.
const std::array<TSetting, SettingCount> Table{{
    {I::Top, "Form", "Top", K::Integer, ""},
    {I::Left, "Form", "Left", K::Integer, ""},
    {I::TempDir, "Basic", "TempDir", K::Text, ""},
    {I::Mp3BitRate, "Quality", "mp3bitrate", K::Integer, "12", 0, 15},
    {I::RecordMode, "Quality", "RecordMode", K::Integer, "0", 0, 1},
    // One file per song, partial songs kept, the AAC container, the songs' folder ("" = the
    // working folder's "Songs").
    {I::SongFiles, "Quality", "SongFiles", K::Bool, "0"},
    {I::KeepPartial, "Quality", "KeepPartial", K::Bool, "1"},
    {I::AacFile, "Quality", "AacFile", K::Integer, "0", 0, 1},
    {I::SongDir, "Basic", "SongDir", K::Text, ""},
    {I::StrMinMs, "Basic", "strminms", K::Text, "10000", 100, 3600000, "strminwait", "StreamIn Max Wait"},
    {I::TapBitRate, "Quality", "BitRate", K::Text, "192", 8, 512000, "EdBitRate", "Tap desired Bitrate "},
    {I::SampleRate, "Quality", "Smplr", K::Text, "32000", 8000, 192000, "edSmplr", "sampler sample rate"},
    {I::DxPolling, "Quality", "DxPol", K::Text, "10", 1, 1000, "edDxPol", "DxOut Polling Interval"},
    {I::DxLatency, "Quality", "DxLtnc", K::Text, "501", 10, 10000, "edDxLtnc", "DXOut Latency"},
    {I::DxFrames, "Quality", "DXFrm", K::Text, "24576", 256, 4194304, "edDXFrm", "DXOut Frames In Buf"},
    {I::GainInterval, "Basic", "gainintrvl", K::Text, "200", 10, 10000, "edFGInt", "indicator Interval"},
    // Seconds; what 32 bits of milliseconds hold at most.
    {I::PreRecTime, "Basic", "PreRecTime", K::Text, "60", 15, std::numeric_limits<std::uint32_t>::max() / 1000,
     "edPreRec", "Pre-recording time"},
    {I::PreRec, "state", "cbprerec", K::Bool, "1"},
    {I::Volume, "state", "vol", K::Integer, "0", -4000, 0},
    {I::GenreIndex, "state", "gnridx", K::Integer, "0"},
    {I::GenreText, "state", "gnrtxt", K::Text, ""},
    {I::StationIndex, "state", "stnidx", K::Integer, "0"},
    {I::StationText, "state", "stntxt", K::Text, ""},
    {I::OnTop, "state", "OnTop", K::Bool, "0"},
}};

bool readsAsNumber(const QString &Text, std::int64_t &Value)
{
    bool ok = false;
    Value = Text.trimmed().toLongLong(&ok);
    return ok;
}

} // namespace

std::int64_t TSetting::DefaultNumber() const
{
    std::int64_t v = 0;
    return readsAsNumber(DefaultText(), v) ? v : 0;
}

const std::array<TSetting, SettingCount> &SettingsTable()
{
    return Table;
}

const TSetting &Setting(TSettingId Id)
{
    return Table[static_cast<std::size_t>(Id)];
}

QString SettingFieldText(TSettingId Id, const QString &Stored)
{
    return Stored.isEmpty() ? Setting(Id).DefaultText() : Stored;
}

bool SettingNumber(TSettingId Id, const QString &Text, std::int64_t &Value)
{
    const TSetting &s = Setting(Id);
    return readsAsNumber(Text, Value) && (!s.HasRange() || (Value >= s.Min && Value <= s.Max));
}

std::int64_t SettingValue(TSettingId Id, const QString &Text)
{
    std::int64_t v = 0;
    return SettingNumber(Id, Text, v) ? v : Setting(Id).DefaultNumber();
}

std::int64_t PrerecSeconds(const QString &Text, std::int64_t Fallback)
{
    const TSetting &s = Setting(TSettingId::PreRecTime);
    std::int64_t v = 0;
    if (!readsAsNumber(Text, v))
        return Fallback;
    return std::clamp(v, s.Min, s.Max);
}

QString CorrectedFieldText(TSettingId Id, const QString &Text, const QString &LastValid)
{
    const TSetting &s = Setting(Id);
    std::int64_t v = 0;
    if (!readsAsNumber(Text, v)) {
        // A last valid text that is itself no number (a stored "abc") gives way to the default.
        std::int64_t last = 0;
        return SettingNumber(Id, LastValid, last) ? LastValid : s.DefaultText();
    }
    if (s.HasRange() && (v < s.Min || v > s.Max))
        return QString::number(std::clamp(v, s.Min, s.Max));
    return QString();
}

QString CorrectionNotice(TSettingId Id, const QString &Corrected)
{
    const TSetting &s = Setting(Id);
    return QStringLiteral("%1 takes whole numbers from %2 to %3, so it is set to %4.")
        .arg(QString::fromLatin1(s.Caption).trimmed())
        .arg(s.Min)
        .arg(s.Max)
        .arg(Corrected);
}
