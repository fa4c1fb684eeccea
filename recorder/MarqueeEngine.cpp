// The marquee's timer thread, scroll state, tick and relayout.
#include "MarqueeEngine.h"

#include <algorithm>

// ---------------------------------------------------------------- TOneShotTimer

TOneShotTimer::~TOneShotTimer()
{
    {
        std::lock_guard lock(m_);
        quit_ = true;
        pending_ = 0;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void TOneShotTimer::SetCallback(TCallback Callback)
{
    std::lock_guard lock(m_);
    callback_ = std::move(Callback);
}

std::uint32_t TOneShotTimer::Arm(std::uint32_t DelayMs, std::uint32_t /*ResolutionMs*/)
{
    std::uint32_t id;
    {
        std::lock_guard lock(m_);
        if (++lastId_ == 0)
            lastId_ = 1;
        id = lastId_;
        pending_ = id;
        const auto now = std::chrono::steady_clock::now();
        const auto delay = std::chrono::milliseconds(DelayMs);
        // Re-armed by the callback: the next countdown follows the last one without drift.
        if (callbackThread_ == std::this_thread::get_id() && now - lastDue_ < std::chrono::milliseconds(MaxLagMs))
            due_ = lastDue_ + delay;
        else
            due_ = now + delay;
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
    }
    cv_.notify_all();
    return id;
}

void TOneShotTimer::Cancel(std::uint32_t TimerID)
{
    {
        std::lock_guard lock(m_);
        if (pending_ != TimerID)
            return;
        pending_ = 0;
    }
    cv_.notify_all();
}

void TOneShotTimer::Run()
{
    std::unique_lock lock(m_);
    while (!quit_) {
        if (pending_ == 0) {
            cv_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < due_) {
            // Woken late on purpose: countdowns due meanwhile run in the same wake-up.
            cv_.wait_until(lock, due_ + batch_);
            continue; // re-check: cancelled, re-armed or quitting meanwhile
        }
        const std::uint32_t id = pending_;
        pending_ = 0;
        TCallback callback = callback_;
        lastDue_ = due_;
        callbackThread_ = std::this_thread::get_id();
        // The callback takes the marquee's lock and may arm again: never call it with m_ held.
        lock.unlock();
        if (callback)
            callback(id);
        lock.lock();
        callbackThread_ = {};
    }
}

// ---------------------------------------------------------------- TMarqueeEngine

TMarqueeEngine::TMarqueeEngine()
{
    SetTimer(std::make_unique<TOneShotTimer>());
}

TMarqueeEngine::~TMarqueeEngine()
{
    ShutDownTimer();
}

void TMarqueeEngine::SetTimer(std::unique_ptr<TMarqueeTimer> Timer)
{
    std::unique_ptr<TMarqueeTimer> old;
    {
        std::lock_guard lock(CS);
        old = std::move(timer_);
        timer_ = std::move(Timer);
        TimerID = 0;
        if (timer_)
            timer_->SetCallback([this](std::uint32_t id) { TimerTick(id); });
    }
    // The old timer joins its thread outside the lock: its last tick may be waiting for it.
    old.reset();
}

void TMarqueeEngine::ShutDownTimer()
{
    std::unique_ptr<TMarqueeTimer> old;
    {
        std::lock_guard lock(CS);
        if (timer_ && TimerID != 0)
            timer_->Cancel(TimerID);
        TimerID = 0;
        old = std::move(timer_);
    }
    old.reset();
}

bool TMarqueeEngine::Active()
{
    std::lock_guard lock(CS);
    return fActive;
}

void TMarqueeEngine::SetActive(bool Value)
{
    std::lock_guard lock(CS);
    fActive = Value;
    UpdateTimer();
}

std::uint32_t TMarqueeEngine::Interval()
{
    std::lock_guard lock(CS);
    return fInterval;
}

void TMarqueeEngine::SetInterval(std::uint32_t Value)
{
    std::lock_guard lock(CS);
    fInterval = std::clamp(Value, TMarqueeTimer::PeriodMin, TMarqueeTimer::PeriodMax);
    Resolution = fInterval / 10;
}

std::uint8_t TMarqueeEngine::Step()
{
    std::lock_guard lock(CS);
    return fStep;
}

void TMarqueeEngine::SetStep(std::uint8_t Value)
{
    std::lock_guard lock(CS);
    fStep = Value == 0 ? 1 : Value;
}

std::uint8_t TMarqueeEngine::Spacing()
{
    std::lock_guard lock(CS);
    return fSpacing;
}

void TMarqueeEngine::SetSpacing(std::uint8_t Value)
{
    std::lock_guard lock(CS);
    fSpacing = std::min<std::uint8_t>(Value, 100);
    RecalcGaps();
    Relayout();
}

std::uint8_t TMarqueeEngine::LoopSpacing()
{
    std::lock_guard lock(CS);
    return fLoopSpacing;
}

void TMarqueeEngine::SetLoopSpacing(std::uint8_t Value)
{
    std::lock_guard lock(CS);
    fLoopSpacing = std::min<std::uint8_t>(Value, 100);
    RecalcGaps();
    Relayout();
}

std::uint32_t TMarqueeEngine::NumLoops()
{
    std::lock_guard lock(CS);
    return fNumLoops;
}

void TMarqueeEngine::SetNumLoops(std::uint32_t Value)
{
    std::lock_guard lock(CS);
    fNumLoops = Value;
}

TMarqueeOrientation TMarqueeEngine::Orientation()
{
    std::lock_guard lock(CS);
    return fOrientation;
}

void TMarqueeEngine::SetOrientation(TMarqueeOrientation Value)
{
    std::lock_guard lock(CS);
    if (Value == fOrientation)
        return;
    fOrientation = Value;
    RecalcGaps();
    Reset();
}

int TMarqueeEngine::VisibleCount()
{
    std::lock_guard lock(CS);
    return fVisibleCount;
}

std::uint32_t TMarqueeEngine::LoopCount()
{
    std::lock_guard lock(CS);
    return LoopsEnded;
}

std::uint32_t TMarqueeEngine::TimerResolution()
{
    std::lock_guard lock(CS);
    return Resolution;
}

bool TMarqueeEngine::TimerPending()
{
    std::lock_guard lock(CS);
    return TimerID != 0;
}

void TMarqueeEngine::Reset()
{
    std::lock_guard lock(CS);
    ClearItems();
    fVisibleCount = 0;
    LoopsStarted = LoopsEnded = 0;
    OldestIndex = NewestIndex = 0;
    OldestOffset = NewestOffset = 0;
    UpdateTimer();
    RequestRepaint();
}

void TMarqueeEngine::UpdateTimer()
{
    std::lock_guard lock(CS);
    if (!timer_)
        return;
    const bool run = fActive && CanRun() && ItemCount() > 0;
    if (run && TimerID == 0)
        TimerID = timer_->Arm(fInterval, Resolution);
    else if (!run && TimerID != 0) {
        timer_->Cancel(TimerID);
        TimerID = 0;
    }
}

void TMarqueeEngine::RecalcGaps()
{
    std::lock_guard lock(CS);
    // Multiplied before dividing, so that narrow controls keep their fractions.
    const int extent = std::max(0, ClientExtent());
    GapBetweenItems = extent * fSpacing / 100;
    GapBetweenLoops = extent * fLoopSpacing / 100;
}

void TMarqueeEngine::Relayout()
{
    std::lock_guard lock(CS);
    fVisibleCount = 0;
    const int count = ItemCount();
    if (count > 0 && LoopsStarted > 0) {
        const int extent = ClientExtent();
        NewestIndex = std::clamp(NewestIndex, 0, count - 1);
        while (NewestIndex > 0 && !ItemPrepared(NewestIndex))
            --NewestIndex;
        OldestIndex = NewestIndex;
        int position = extent - NewestOffset;
        if (ItemPrepared(NewestIndex) && position + ItemExtent(NewestIndex) > 0) {
            fVisibleCount = 1;
            OldestOffset = NewestOffset;
            // The newest item belongs to loop LoopsStarted: walking back past item 0 is allowed
            // only into loops that have started.
            std::uint32_t wrapsLeft = LoopsStarted - 1;
            int index = NewestIndex;
            for (;;) {
                int older, gap;
                if (index == 0) {
                    if (wrapsLeft == 0)
                        break;
                    --wrapsLeft;
                    older = count - 1;
                    gap = GapBetweenLoops;
                } else {
                    older = index - 1;
                    gap = GapBetweenItems;
                }
                if (!ItemPrepared(older))
                    break;
                const int size = ItemExtent(older);
                // Items of no size with no gap would never leave the extent.
                if (size + gap <= 0)
                    break;
                const int olderPosition = position - gap - size;
                if (olderPosition + size <= 0)
                    break;
                position = olderPosition;
                index = older;
                ++fVisibleCount;
                OldestIndex = index;
                OldestOffset = extent - position;
            }
        }
    }
    RequestRepaint();
}

void TMarqueeEngine::ForEachVisibleItem(int Lo, int Hi, const std::function<void(int, int)> &Draw)
{
    std::lock_guard lock(CS);
    const int count = ItemCount();
    if (fVisibleCount <= 0 || count <= 0)
        return;
    int index = std::clamp(NewestIndex, 0, count - 1);
    int position = ClientExtent() - NewestOffset;
    for (int k = 0;; ++k) {
        const int size = ItemExtent(index);
        if (position < Hi && position + size > Lo)
            Draw(index, position);
        if (k + 1 >= fVisibleCount)
            break;
        if (index == 0) {
            index = count - 1;
            position -= GapBetweenLoops;
        } else {
            --index;
            position -= GapBetweenItems;
        }
        // position is now the far edge of the older item.
        if (position <= Lo)
            break;
        position -= ItemExtent(index);
    }
}

bool TMarqueeEngine::ItemShowing(int Index)
{
    std::lock_guard lock(CS);
    const int count = ItemCount();
    if (fVisibleCount <= 0 || Index < 0 || Index >= count)
        return false;
    if (fVisibleCount >= count)
        return true;
    // The visible items run from OldestIndex forward, wrapping, to NewestIndex.
    const int fromOldest = (Index - OldestIndex + count) % count;
    return fromOldest < fVisibleCount;
}

void TMarqueeEngine::TimerTick(std::uint32_t ID)
{
    bool wrapped = false;
    bool cursor = false;
    {
        std::lock_guard lock(CS);
        // 1. A cancelled or superseded countdown, or nothing to show.
        const int count = ItemCount();
        if (TimerID == 0 || ID != TimerID || count == 0)
            return;
        TimerID = 0;
        // 2.
        const int extent = ClientExtent();
        // 3. The first item starts to enter.
        if (fVisibleCount == 0) {
            OldestIndex = NewestIndex = 0;
            OldestOffset = NewestOffset = 0;
            ++LoopsStarted;
            fVisibleCount = 1;
        }
        OldestIndex = std::clamp(OldestIndex, 0, count - 1);
        NewestIndex = std::clamp(NewestIndex, 0, count - 1);
        // 4.
        OldestOffset += fStep;
        NewestOffset += fStep;
        // 5. Scroll the pixels unless everything is to be drawn anyway.
        const bool whole = RepaintPending() || fStep >= extent;
        if (!whole)
            ScrollPixels(fStep);
        // 6. The oldest item has left.
        const int oldestSize = ItemExtent(OldestIndex);
        if (OldestOffset >= extent + oldestSize) {
            OldestOffset -= oldestSize;
            --fVisibleCount;
            ++OldestIndex;
            bool loopEnded = false;
            if (OldestIndex >= count) {
                OldestIndex = 0;
                loopEnded = true;
                wrapped = true;
                ++LoopsEnded;
                if (fNumLoops != 0 && LoopsEnded >= fNumLoops) {
                    fActive = false;
                    LoopsStarted = LoopsEnded = 0;
                }
            }
            OldestOffset -= loopEnded ? GapBetweenLoops : GapBetweenItems;
        }
        // 7. The next item enters, at most one per tick.
        if (fActive) {
            const bool newestIsLast = NewestIndex == count - 1;
            const int gap = newestIsLast ? GapBetweenLoops : GapBetweenItems;
            const int newestSize = ItemExtent(NewestIndex);
            const bool lastLoopDone = fNumLoops != 0 && LoopsStarted >= fNumLoops && newestIsLast;
            if (NewestOffset >= gap + newestSize && !lastLoopDone) {
                NewestOffset -= newestSize;
                NewestOffset -= gap;
                if (++NewestIndex >= count) {
                    NewestIndex = 0;
                    ++LoopsStarted;
                }
                ++fVisibleCount;
            }
        }
        // 8.
        if (whole)
            DrawArea(0, extent);
        else
            DrawArea(extent - fStep, extent);
        cursor = WantsCursorUpdate();
        // 9. Arming here, still under the lock, keeps TimerID and the countdown in step with
        // a window thread that cancels at the same moment.
        if (fActive && CanRun() && timer_)
            TimerID = timer_->Arm(fInterval, Resolution);
    }
    if (cursor)
        PostCursorUpdate();
    if (wrapped)
        PostWrap();
}
