// The recorder's settings file "Fonolux.INI": one table of every key with its section, kind,
// default and range, used by reading, writing, the Set Up page's fields and the components'
// design values alike, so that each default is written down once.
//
// Plain data and pure functions: no window, no file. GUI thread or any thread.
#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

// The settings, in the order saveSettings writes them.
enum class TSettingId : std::uint8_t {
    Top,
    Left,
    TempDir,
    Mp3BitRate,
    RecordMode,
    SongFiles,
    KeepPartial,
    AacFile,
    SongDir,
    StrMinMs,
    TapBitRate,
    SampleRate,
    DxPolling,
    DxLatency,
    DxFrames,
    GainInterval,
    PreRecTime,
    PreRec,
    Volume,
    GenreIndex,
    GenreText,
    StationIndex,
    StationText,
    OnTop,
};
constexpr std::size_t SettingCount = static_cast<std::size_t>(TSettingId::OnTop) + 1;

// The recording modes ([Quality] RecordMode): the MP3 chain (decoded, encoded again) or the
// station's own frames kept as they were sent.
enum TRecordMode : int { rmMp3 = 0, rmAsBroadcast = 1 };
// How AAC kept as broadcast is saved ([Quality] AacFile): as sent (.aac) or in an MPEG-4 file.
enum TAacFile : int { afAdts = 0, afM4a = 1 };

// How a setting is stored: a number written as an integer (an item index, a position), a text
// (a field's text as typed, numeric or not), or a boolean.
enum class TSettingKind : std::uint8_t { Integer, Text, Bool };

struct TSetting {
    TSettingId Id;
    const char *Section;
    const char *Key;
    TSettingKind Kind;
    // The default as stored ("" for none: the position and the texts without one).
    const char *Default;
    // The numbers a component takes (inclusive); equal bounds mean no range is checked here
    // (the item indexes depend on the lists, the position on the screen).
    std::int64_t Min = 0, Max = 0;
    // The Set Up page's field for a numeric text setting: object name and caption.
    const char *Field = nullptr;
    const char *Caption = nullptr;

    bool HasRange() const { return Min < Max; }
    QString DefaultText() const { return QString::fromLatin1(Default); }
    // The default as a number (0 when it is none).
    std::int64_t DefaultNumber() const;
};

const std::array<TSetting, SettingCount> &SettingsTable();
// The Set Up page's numeric fields, in the table's order (edPreRec, on the Radio page, is the
// one other field).
constexpr std::array<TSettingId, 7> SetUpFields{TSettingId::StrMinMs,  TSettingId::TapBitRate,
                                                TSettingId::SampleRate, TSettingId::DxPolling,
                                                TSettingId::DxLatency,  TSettingId::DxFrames,
                                                TSettingId::GainInterval};
const TSetting &Setting(TSettingId Id);

// The stored text of a text setting as the field shows it: the default text when empty.
QString SettingFieldText(TSettingId Id, const QString &Stored);
// Text read as a whole number inside the setting's range (blanks around it allowed); false
// for an empty, malformed or out-of-range text.
bool SettingNumber(TSettingId Id, const QString &Text, std::int64_t &Value);
// The number a component takes for Text: Text's number when SettingNumber accepts it, else
// the default. (The pre-recording time's rule differs: see PrerecSeconds.)
std::int64_t SettingValue(TSettingId Id, const QString &Text);
// The pre-recording time in seconds for Text: a number below the range is raised to its
// lowest, one above lowered to its highest, a text that is not a number gives Fallback.
std::int64_t PrerecSeconds(const QString &Text, std::int64_t Fallback);

// What a field left with Text should show instead, or the empty text when Text stands: a
// number outside the range becomes its nearest bound, a text that is no number LastValid.
QString CorrectedFieldText(TSettingId Id, const QString &Text, const QString &LastValid);
// The sentence that says what a correction did ("DXOut Latency takes whole numbers from 10 to
// 10000, so it is set to 501.").
QString CorrectionNotice(TSettingId Id, const QString &Corrected);
