// The window's audio components, held in one place and freed outputs first, so no worker
// outlives its chain. Included by the window's sources only: it brings in the audio library's
// headers, which Main.h keeps out.
#pragma once

#include "AuConverters.h"
#include "AuIndicators.h"
#include "AuLame.h"
#include "AuMedia.h"
#include "AuMixer.h"
#include "AuSoundOut.h"
#include "Main.h"

#include <memory>

struct TForm1::TAudioComponents {
    std::unique_ptr<TWMStreamedIn> WMStreamedIn1;
    std::unique_ptr<TFastResampler> FastResampler1;
    std::unique_ptr<TWMATap> WMATap1, WMATap2;
    std::unique_ptr<TFastGainIndicator> FastGainIndicator1;
    std::unique_ptr<TWMIn> WMIn1, WMIn2;
    std::unique_ptr<TAudioMixer> AudioMixer1;
    std::unique_ptr<TDXAudioOut> DXAudioOut1;
    std::unique_ptr<TMP3Out> MP3Out1;

    ~TAudioComponents()
    {
        MP3Out1.reset();
        DXAudioOut1.reset();
        AudioMixer1.reset();
        WMIn2.reset();
        WMIn1.reset();
        FastGainIndicator1.reset();
        WMATap2.reset();
        WMATap1.reset();
        FastResampler1.reset();
        WMStreamedIn1.reset();
    }
};

