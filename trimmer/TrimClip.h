// Rules of playing and saving a stretch in the trimmer, kept apart from the window so they can
// be checked on their own: the speed factor a slider position stands for, the bounded repeated
// write of a decoder bound, the encoder settings of a clip, and putting a finished clip in
// place of the chosen file. Window thread (PutClipInPlace: any thread).
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

class TMP3Out;

// The speed slider's position (50 .. 150, per cent) as the output's speed factor.
float SpeedFactorOf(int SliderPosition);

// Writes Value with Write until Read gives it back, at most Attempts times, calling Between
// after each write (the window processes its events there). True when Read gives Value back
// at the end. Nothing else writes a decoder's bounds, so the first write holds; the bound only
// keeps a decoder that never takes the value from holding the window for ever.
bool WriteUntilReadBack(std::int64_t Value, const std::function<void(std::int64_t)> &Write,
                        const std::function<std::int64_t()> &Read, const std::function<void()> &Between,
                        int Attempts = 8);

// A clip is encoded at a constant 128 kbit/s without bit reservoir (no VBR, no strict ISO,
// automatic average and maximum rates, share mode 0).
void SetClipEncoderSettings(TMP3Out &Out);

// The hidden file a clip for Target is written to first: ".<name>.<Tag>.part" in Target's
// folder, so that the final rename stays within one file system.
QString ClipPartFileName(const QString &Target, std::uint64_t Tag);

// Replaces Target by the finished clip Part in one step (rename), so that Target is never
// missing or half written, also when it is the file the trimmer has open. The clip is synced
// first and takes the permission bits of the file it replaces. On failure Part is
// removed, Target is left as it was, Error says why and the result is false.
bool PutClipInPlace(const QString &Part, const QString &Target, QString &Error);

// Removes a clip file that was not finished (a failed or abandoned save); no error when it is
// not there.
void DiscardClip(const QString &Part);
