// The sample-exact cut: frame range, reservoir frame, delay and padding, and the clip's bytes.
#include "Mp3Cutter.h"

#include "AuException.h"
#include "Mp3InfoTag.h"

#include <algorithm>
#include <cstring>

namespace {

// One granule plus the decoder delay: the first kept frame starts at least this far before
// the first wanted sample of the decoder's output, so that the filterbank has its history.
constexpr std::int64_t kHistory = 576 + Mp3DecoderDelay;
// The bit reservoir reaches back at most 511 bytes (9 bits of main_data_begin).
constexpr int kMaxReservoir = 511;

// The last Count bytes of main data before frame First, zeros where the stream has none.
std::vector<std::uint8_t> reservoirBefore(const std::uint8_t *data, const Mp3FrameIndex &ix, std::size_t first,
                                          int count)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count), 0);
    std::size_t fill = bytes.size();
    for (std::size_t k = first; k-- > 0 && fill > 0;) {
        const Mp3Frame &f = ix.Frames[k];
        const std::size_t area = static_cast<std::size_t>(std::max(0, f.MainDataSize()));
        const std::size_t take = std::min(area, fill);
        std::memcpy(bytes.data() + fill - take, data + f.Offset + f.Size - take, take);
        fill -= take;
    }
    return bytes;
}

// A frame with the header of Model (bit rate raised when the bytes do not fit), all-zero side
// info (main_data_begin 0, nothing to decode: silence) and Reservoir at the end of its
// main-data area, where the next frame's main_data_begin finds it.
std::vector<std::uint8_t> silentFrame(const Mp3FrameHeader &model, const std::vector<std::uint8_t> &reservoir)
{
    const int need = static_cast<int>(reservoir.size());
    std::uint32_t raw = model.Raw;
    if (model.FrameBytes() - model.MainDataOffset() < need) {
        int index = 1;
        while (index < 14 && Mp3FrameBytesOf(model.Version, Mp3BitrateOf(model.Version, index), model.SampleRate, 0) -
                                     model.MainDataOffset() <
                                 need)
            ++index;
        raw = (raw & ~(0xFu << 12) & ~(1u << 9)) | (static_cast<std::uint32_t>(index) << 12);
    }
    std::uint8_t head[4] = {static_cast<std::uint8_t>(raw >> 24), static_cast<std::uint8_t>(raw >> 16),
                            static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)};
    Mp3FrameHeader h;
    ParseMp3Header(head, h);
    std::vector<std::uint8_t> f(static_cast<std::size_t>(h.FrameBytes()), 0);
    std::memcpy(f.data(), head, 4);
    if (!reservoir.empty())
        std::memcpy(f.data() + f.size() - reservoir.size(), reservoir.data(), reservoir.size());
    if (h.Crc) {
        const std::uint16_t crc = Mp3FrameCrc(f.data(), h);
        f[4] = static_cast<std::uint8_t>(crc >> 8);
        f[5] = static_cast<std::uint8_t>(crc);
    }
    return f;
}

} // namespace

Mp3CutPlan PlanMp3Cut(const Mp3FrameIndex &Index, std::int64_t Begin, std::int64_t End)
{
    const std::int64_t total = Index.TotalSamples();
    if (Begin < 0 || End > total || Begin >= End)
        throw EAuException("The marked stretch (samples " + std::to_string(Begin) + " to " + std::to_string(End) +
                           ") is empty or lies outside the file's " + std::to_string(total) + " samples.");
    const std::int64_t spf = Index.SamplesPerFrame;
    const std::int64_t frames = static_cast<std::int64_t>(Index.Frames.size());
    const std::int64_t rawBegin = Begin + Index.StartSkip();
    const std::int64_t rawEnd = End + Index.StartSkip();

    Mp3CutPlan plan;
    const std::int64_t first = rawBegin < kHistory ? 0 : (rawBegin - kHistory) / spf;
    const std::int64_t last = std::min(frames - 1, (rawEnd - 1) / spf);
    plan.FirstFrame = static_cast<std::size_t>(first);
    plan.LastFrame = static_cast<std::size_t>(last);

    // How far the kept frames reach back into dropped ones.
    int reach = 0, passed = 0;
    for (std::size_t k = plan.FirstFrame; k <= plan.LastFrame && passed < kMaxReservoir; ++k) {
        reach = std::max(reach, Index.Frames[k].MainDataBegin - passed);
        passed += Index.Frames[k].MainDataSize();
    }
    plan.ReservoirBytes = reach;
    plan.ReservoirFrame = reach > 0;
    std::int64_t lead = first - (plan.ReservoirFrame ? 1 : 0);
    std::int64_t delay = rawBegin - Mp3DecoderDelay - lead * spf;
    if (delay < 0) {
        // Near the start of a source without a LAME tag there is not room for the decoder
        // delay: a silent frame in front makes it.
        plan.ReservoirFrame = true;
        lead -= 1;
        delay += spf;
    }
    const std::int64_t clipFrames = last - lead + 1;
    plan.Delay = static_cast<int>(delay);
    plan.Padding = static_cast<int>(clipFrames * spf + Mp3DecoderDelay - (rawEnd - lead * spf));
    return plan;
}

Mp3Clip CutMp3(const std::uint8_t *Data, std::size_t Size, const Mp3FrameIndex &Index, std::int64_t Begin,
               std::int64_t End)
{
    if (Index.AudioEnd > Size)
        throw EAuException("The MP3 file changed since it was read; open it again.");
    const Mp3CutPlan plan = PlanMp3Cut(Index, Begin, End);
    Mp3Clip clip;
    clip.Samples = End - Begin;
    clip.Delay = plan.Delay;
    clip.Padding = plan.Padding;
    clip.FirstFrame = plan.FirstFrame;
    clip.LastFrame = plan.LastFrame;
    clip.ReservoirFrame = plan.ReservoirFrame;
    clip.ReservoirBytes = plan.ReservoirBytes;

    std::vector<int> sizes;
    sizes.reserve(plan.LastFrame - plan.FirstFrame + 2);
    const Mp3Frame &lastKept = Index.Frames[plan.LastFrame];
    const std::size_t lastEnd = lastKept.Offset + static_cast<std::size_t>(lastKept.Size);
    std::vector<std::uint8_t> audio;
    const Mp3Frame &firstKept = Index.Frames[plan.FirstFrame];
    audio.reserve(lastEnd - firstKept.Offset + 4096); // room for the reservoir and tag frames
    if (plan.ReservoirFrame) {
        const std::vector<std::uint8_t> silent =
            silentFrame(firstKept.Header, reservoirBefore(Data, Index, plan.FirstFrame, plan.ReservoirBytes));
        audio.insert(audio.end(), silent.begin(), silent.end());
        sizes.push_back(static_cast<int>(silent.size()));
    }
    bool cbr = true;
    const int rate = plan.ReservoirFrame ? (audio[2] >> 4) : firstKept.Header.BitrateIndex;
    for (std::size_t k = plan.FirstFrame; k <= plan.LastFrame; ++k) {
        const Mp3Frame &f = Index.Frames[k];
        audio.insert(audio.end(), Data + f.Offset, Data + f.Offset + f.Size);
        sizes.push_back(f.Size);
        cbr = cbr && f.Header.BitrateIndex == rate;
    }

    Mp3InfoParams info;
    info.Template = firstKept.Header;
    info.Cbr = cbr;
    info.FrameSizes = sizes;
    info.Delay = plan.Delay;
    info.Padding = plan.Padding;
    info.Source = &Index.Tag;
    info.MusicCrc = Mp3Crc16Arc(audio.data(), audio.size());
    const std::vector<std::uint8_t> tag = MakeMp3InfoFrame(info);
    audio.insert(audio.begin(), tag.begin(), tag.end());
    clip.Audio = std::move(audio);
    clip.AudioFrames = static_cast<int>(sizes.size());
    return clip;
}
