// A timer the test fires by hand, for driving the marquee's ticks one at a time.
#pragma once

#include "MarqueeEngine.h"

#include <cstdint>
#include <vector>

class ManualTimer final : public TMarqueeTimer {
public:
    void SetCallback(TCallback Callback) override { callback_ = std::move(Callback); }
    std::uint32_t Arm(std::uint32_t DelayMs, std::uint32_t ResolutionMs) override
    {
        delays.push_back(DelayMs);
        resolutions.push_back(ResolutionMs);
        pending = ++last;
        return pending;
    }
    void Cancel(std::uint32_t TimerID) override
    {
        if (pending == TimerID)
            pending = 0;
    }
    // Runs the pending countdown's callback now; false when none is pending.
    bool Fire()
    {
        if (pending == 0)
            return false;
        const std::uint32_t id = pending;
        pending = 0;
        callback_(id);
        return true;
    }
    // Fires up to n times; returns how many ticks ran.
    int Fire(int n)
    {
        int done = 0;
        while (done < n && Fire())
            ++done;
        return done;
    }

    std::uint32_t pending = 0;
    std::uint32_t last = 0;
    std::vector<std::uint32_t> delays, resolutions;

private:
    TCallback callback_;
};
