// The waveform picture: reading the opened file into one value pair per column and drawing
// the columns, the played part in green, with the pending marker moves carried out on the way.
#include "TrimMain.h"

#include "AuConverters.h"
#include "AuMp3In.h"
#include "AuSoundOut.h"

#include <algorithm>
#include <array>

namespace {

constexpr QRgb Grey = 0xFF7F7F7F;
constexpr QRgb Green = 0xFF00FF00;

} // namespace

void TForm1::ClearPicture()
{
    Image1->Bitmap.fill(QColor(0, 0, 0, 255));
    Image1->Changed();
}

void TForm1::BuildWave()
{
    values.resize(static_cast<std::size_t>(std::max(PictureWidth, 0)));
    AudioConverter1->Init();
    // Flush also when reading fails half-way, so the decoder is closed for the next run.
    struct FlushOnExit {
        TAudioConverter *c;
        ~FlushOnExit()
        {
            try {
                c->Flush();
            } catch (...) {
            }
        }
    } flush{AudioConverter1.get()};

    const std::int64_t S = AudioConverter1->Size();
    const std::int64_t W = Image1->Bitmap.width();
    if (S <= 0 || W <= 0)
        return;
    TWaveAccumulator acc(values, S, W);
    std::array<std::uint8_t, 1024> block{};
    for (;;) {
        std::uint32_t gathered = 0;
        while (gathered < block.size()) {
            const std::uint32_t n =
                AudioConverter1->CopyData(block.data() + gathered, static_cast<std::int32_t>(block.size() - gathered));
            if (n == 0)
                break;
            gathered += n;
        }
        if (gathered == 0)
            break;
        acc.Add(block.data(), gathered);
    }
}

void TForm1::DrawWave()
{
    QImage &bm = Image1->Bitmap;
    if (bm.isNull())
        return;
    const int H = Image1->height();
    const int rows = bm.height();
    const int columns = std::min<int>(static_cast<int>(values.size()), bm.width());

    const TOutputStatus status = DXAudioOut1->Status();
    const bool running = status == tosPlaying || status == tosPaused;
    long double p = 0;
    if (running) {
        p = PlaybackColumn(MP3In1->Position(), MP3In1->TotalSamples(), FrameBytes, PlayStart, PlayEnd);
        if (StartMarkPending == mpAsked)
            StartMarkPending = mpArmed;
        if (EndMarkPending == mpAsked)
            EndMarkPending = mpArmed;
    }

    for (int i = 0; i < columns; ++i) {
        const QRgb colour = running && PlayStart <= i && i <= p ? Green : Grey;
        if (StartMarkPending == mpArmed && i >= p) {
            StartMarkPending = mpNone;
            TFloatRect band = BandLocation();
            band.Left = static_cast<double>(std::min<long double>(i, SelEnd));
            SetBandLocation(band);
            SelStart = i;
        }
        if (EndMarkPending == mpArmed && i >= p) {
            EndMarkPending = mpNone;
            TFloatRect band = BandLocation();
            band.Right = static_cast<double>(std::max<long double>(i, SelStart));
            SetBandLocation(band);
            SelEnd = i;
        }
        auto [y0, y1] = WaveLineEnds(values[static_cast<std::size_t>(i)], H);
        if (y0 > y1)
            std::swap(y0, y1);
        y0 = std::max(y0, 0);
        y1 = std::min(y1, rows - 1);
        for (int y = y0; y <= y1; ++y)
            reinterpret_cast<QRgb *>(bm.scanLine(y))[i] = colour;
    }
    Image1->Changed();
}
