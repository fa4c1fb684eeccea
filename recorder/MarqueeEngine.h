// The scrolling half of the marquee, free of any GUI code: the one-shot timer thread, the
// scroll state (offsets, visible items, loops), the tick and the relayout.
//
// TScrollingMarquee (ScrollingMarquee.h) derives from TMarqueeEngine and supplies the items,
// the client extent and the pixels through the protected hooks. Keeping this half free of Qt
// lets its threading be checked under ThreadSanitizer.
//
// Coordinates. The engine works along the scroll axis only: an "axis position" runs from 0 at
// the edge items leave by to E (the client width, or height when vertical) at the edge they
// enter by. An item at axis position a covers [a, a + extent). The widget maps this to pixels
// (mirrored for right-to-left reading, rows for vertical).
//
// Threads and the lock. Every member that reads or writes state takes CS (a recursive mutex,
// so hooks may call back into the engine). TimerTick runs on the timer's own thread; all other
// public members run on the window thread. Hooks marked "under the lock" are called with CS
// held; PostCursorUpdate and PostWrap are called by the tick after releasing it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

enum TMarqueeOrientation { moHorizontal, moVertical };

// A one-shot timer: Arm starts a countdown, at its end the callback runs once with the timer's
// id. At most one countdown is pending; arming again replaces it.
class TMarqueeTimer {
public:
    using TCallback = std::function<void(std::uint32_t TimerID)>;
    // The period range the timer offers (the marquee clamps Interval into it).
    static constexpr std::uint32_t PeriodMin = 1;
    static constexpr std::uint32_t PeriodMax = 1000000;

    virtual ~TMarqueeTimer() = default;
    virtual void SetCallback(TCallback Callback) = 0;
    // Starts a countdown of DelayMs milliseconds; returns its id, never 0.
    virtual std::uint32_t Arm(std::uint32_t DelayMs, std::uint32_t ResolutionMs) = 0;
    // Cancels the countdown with that id if it is still pending. A callback already running
    // is not waited for.
    virtual void Cancel(std::uint32_t TimerID) = 0;
};

// The real timer: one thread of its own, started at the first Arm, sleeping on a condition
// variable against the steady clock. The callback runs on that thread without any of the
// timer's locks held, so it may arm or cancel.
//
// A countdown armed from inside the callback runs from the moment the last one fell due, not
// from the moment of arming, so a chain of countdowns keeps its pace however late each wake-up
// was (a chain more than MaxLagMs behind starts afresh instead of catching up).
//
// Batching: with BatchMs > 0 the thread sleeps until BatchMs after a countdown falls due and
// then runs every countdown that is due by then, one after another. A chain of 10 ms countdowns
// with BatchMs 10 wakes the thread every 20 ms for two callbacks: the same pace with half the
// wake-ups (each wake-up of a thread costs more than the work of a marquee step).
class TOneShotTimer final : public TMarqueeTimer {
public:
    static constexpr std::uint32_t MaxLagMs = 250;
    explicit TOneShotTimer(std::uint32_t BatchMs = 0) : batch_(BatchMs) {}
    // Cancels and joins the thread, waiting for a callback that is running. Never call it from
    // the callback, nor while holding a lock the callback takes.
    ~TOneShotTimer() override;
    TOneShotTimer(const TOneShotTimer &) = delete;
    TOneShotTimer &operator=(const TOneShotTimer &) = delete;

    void SetCallback(TCallback Callback) override;
    std::uint32_t Arm(std::uint32_t DelayMs, std::uint32_t ResolutionMs) override;
    void Cancel(std::uint32_t TimerID) override;

private:
    void Run();

    std::mutex m_;
    std::condition_variable cv_;
    std::thread thread_;
    TCallback callback_;
    std::uint32_t pending_ = 0; // id of the pending countdown, 0 = none
    std::uint32_t lastId_ = 0;
    std::chrono::steady_clock::time_point due_{};
    std::chrono::steady_clock::time_point lastDue_{}; // when the running callback's countdown fell due
    std::thread::id callbackThread_;                   // set while a callback runs
    std::chrono::milliseconds batch_;
    bool quit_ = false;
};

class TMarqueeEngine {
public:
    TMarqueeEngine();
    virtual ~TMarqueeEngine();
    TMarqueeEngine(const TMarqueeEngine &) = delete;
    TMarqueeEngine &operator=(const TMarqueeEngine &) = delete;

    // ---- published properties (window thread; each takes the lock) ----
    // Scrolling runs while Active is true, the control can run and it has items. Cleared by
    // the tick itself after NumLoops loops.
    bool Active();
    void SetActive(bool Value);
    // Milliseconds between two steps, clamped into the timer's period range; Resolution
    // becomes Interval div 10.
    std::uint32_t Interval();
    void SetInterval(std::uint32_t Value);
    // Pixels per step; 0 is stored as 1.
    std::uint8_t Step();
    void SetStep(std::uint8_t Value);
    // Gap between two items and between the last and the first item of the next loop, in
    // percent (0..100, larger values clamp to 100) of the client extent.
    std::uint8_t Spacing();
    void SetSpacing(std::uint8_t Value);
    std::uint8_t LoopSpacing();
    void SetLoopSpacing(std::uint8_t Value);
    // Loops after which scrolling stops by itself; 0 = endless.
    std::uint32_t NumLoops();
    void SetNumLoops(std::uint32_t Value);
    // Changing it recomputes the gaps and resets (clears the items).
    TMarqueeOrientation Orientation();
    void SetOrientation(TMarqueeOrientation Value);

    // ---- public read-only state ----
    int VisibleCount();       // items now visible
    std::uint32_t LoopCount(); // loops ended
    std::uint32_t TimerResolution();
    bool TimerPending();      // a one-shot countdown is armed

    // The control's lock (re-entrant). Hold it to read several values consistently.
    void Lock() { CS.lock(); }
    void Unlock() { CS.unlock(); }

    // Clears the items, the visible items and the loop counters, and repaints.
    void Reset();

    // One tick of the scroll, called by the timer on its thread with the id Arm returned.
    // A tick whose id is no longer pending does nothing. Tests call it directly to drive the
    // scroll step by step.
    void TimerTick(std::uint32_t ID);

    // Replaces the timer (before the first Arm; tests install a manual one).
    void SetTimer(std::unique_ptr<TMarqueeTimer> Timer);

    // Calls Draw(index, axisPosition) for every visible item that meets [Lo, Hi), from the
    // newest back to the oldest. Under the lock (the widget's drawing calls it).
    void ForEachVisibleItem(int Lo, int Hi, const std::function<void(int Index, int Position)> &Draw);
    // True when the item is among the visible ones.
    bool ItemShowing(int Index);

protected:
    // ---- hooks (all under the lock) ----
    virtual int ItemCount() = 0;
    virtual bool ItemPrepared(int Index) = 0;
    // Size of a prepared item along the scroll axis (width, height when vertical).
    virtual int ItemExtent(int Index) = 0;
    // Client width (height when vertical).
    virtual int ClientExtent() = 0;
    // The control has its window and may scroll (the tick re-arms only then).
    virtual bool CanRun() = 0;
    // The whole display must be drawn again (a repaint is pending); the tick then draws the
    // whole client area instead of scrolling pixels.
    virtual bool RepaintPending() = 0;
    // Moves the displayed pixels by Pixels towards axis position 0.
    virtual void ScrollPixels(int Pixels) = 0;
    // Draws the axis range [Lo, Hi) from the current state (fills it, then the items that
    // meet it via ForEachVisibleItem) and asks the window to show the result.
    virtual void DrawArea(int Lo, int Hi) = 0;
    // Removes every item (Reset).
    virtual void ClearItems() = 0;
    // Marks the whole display for drawing again and asks the window to repaint.
    virtual void RequestRepaint() = 0;
    // Whether the mouse is inside the enabled control with no drag going on.
    virtual bool WantsCursorUpdate() = 0;
    // ---- hooks called by the tick after releasing the lock ----
    virtual void PostCursorUpdate() = 0;
    virtual void PostWrap() = 0;

    // Re-evaluates the timer: armed when Active, CanRun and items; cancelled otherwise.
    void UpdateTimer();
    // Gaps from the spacings and the client extent.
    void RecalcGaps();
    // Rebuilds the visible items from the newest backwards and repaints.
    void Relayout();
    // Cancels the timer and joins its thread. Derived destructors call it first so that no
    // tick runs into a half-destroyed object. Not under the lock.
    void ShutDownTimer();

    std::recursive_mutex CS;

    bool fActive = false;
    std::uint32_t fInterval = 10;
    std::uint8_t fStep = 1;
    std::uint8_t fSpacing = 100;
    std::uint8_t fLoopSpacing = 100;
    std::uint32_t fNumLoops = 0;
    TMarqueeOrientation fOrientation = moHorizontal;
    int fVisibleCount = 0;
    std::uint32_t Resolution = 1;
    std::uint32_t TimerID = 0;
    int OldestIndex = 0, NewestIndex = 0;
    int NewestOffset = 0, OldestOffset = 0;
    std::uint32_t LoopsStarted = 0, LoopsEnded = 0;
    int GapBetweenItems = 0, GapBetweenLoops = 0;

private:
    std::unique_ptr<TMarqueeTimer> timer_;
};
