// The marquee's scroll engine without a window: ticks, gaps, loops, relayout and the timer
// thread. The display is one row of "pixels" along the scroll axis holding the index of the
// item drawn there (-1 = background), scrolled and drawn strip by strip exactly as the widget
// does with its image, and compared with a full redraw of the same state.
#include "MarqueeEngine.h"
#include "MarqueeTestKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class RowMarquee final : public TMarqueeEngine {
public:
    explicit RowMarquee(int extent, bool manual = true) : display(std::size_t(extent), -1), extent_(extent)
    {
        if (manual) {
            auto timer = std::make_unique<ManualTimer>();
            this->timer = timer.get();
            SetTimer(std::move(timer));
        }
        RecalcGaps();
    }
    ~RowMarquee() override { ShutDownTimer(); }

    void SetItems(std::vector<int> extents)
    {
        std::lock_guard lock(CS);
        sizes = std::move(extents);
        prepared.assign(sizes.size(), true);
        Relayout();
        UpdateTimer();
    }
    void SetItemExtent(int index, int size)
    {
        std::lock_guard lock(CS);
        sizes[std::size_t(index)] = size;
        if (ItemShowing(index))
            Relayout();
    }
    void SetExtent(int extent)
    {
        std::lock_guard lock(CS);
        extent_ = extent;
        display.assign(std::size_t(extent), -1);
        repaint = true;
        RecalcGaps();
        Relayout();
    }
    void SetCanRun(bool value)
    {
        std::lock_guard lock(CS);
        canRun = value;
        UpdateTimer();
    }
    // What a full redraw of the current state shows.
    std::vector<int> Reference()
    {
        std::lock_guard lock(CS);
        std::vector<int> row(std::size_t(extent_), -1);
        Paint(row, 0, extent_);
        return row;
    }
    std::vector<int> Display()
    {
        std::lock_guard lock(CS);
        return display;
    }
    void DoRelayout() { Relayout(); }

    using TMarqueeEngine::GapBetweenItems;
    using TMarqueeEngine::GapBetweenLoops;
    using TMarqueeEngine::LoopsStarted;
    using TMarqueeEngine::NewestIndex;
    using TMarqueeEngine::NewestOffset;
    using TMarqueeEngine::OldestIndex;
    using TMarqueeEngine::OldestOffset;

    ManualTimer *timer = nullptr;
    std::vector<int> sizes;
    std::vector<bool> prepared;
    std::vector<int> display;
    bool canRun = true;
    bool repaint = true;
    std::atomic<int> wraps{0};
    std::atomic<int> ticksDrawn{0};

protected:
    int ItemCount() override { return int(sizes.size()); }
    bool ItemPrepared(int i) override { return prepared[std::size_t(i)]; }
    int ItemExtent(int i) override { return sizes[std::size_t(i)]; }
    int ClientExtent() override { return extent_; }
    bool CanRun() override { return canRun; }
    bool RepaintPending() override { return repaint; }
    void ScrollPixels(int pixels) override
    {
        std::move(display.begin() + pixels, display.end(), display.begin());
    }
    void DrawArea(int lo, int hi) override
    {
        Paint(display, lo, hi);
        if (lo <= 0 && hi >= extent_)
            repaint = false;
        ++ticksDrawn;
    }
    void ClearItems() override
    {
        sizes.clear();
        prepared.clear();
    }
    void RequestRepaint() override { repaint = true; }
    bool WantsCursorUpdate() override { return false; }
    void PostCursorUpdate() override {}
    void PostWrap() override { ++wraps; }

private:
    void Paint(std::vector<int> &row, int lo, int hi)
    {
        std::fill(row.begin() + lo, row.begin() + hi, -1);
        ForEachVisibleItem(lo, hi, [&](int index, int position) {
            const int from = std::max(lo, position), to = std::min(hi, position + sizes[std::size_t(index)]);
            for (int x = from; x < to; ++x)
                row[std::size_t(x)] = index;
        });
    }
    int extent_;
};

// [first, last] columns showing item index, or {-1, -1}.
std::pair<int, int> span(const std::vector<int> &row, int index)
{
    const auto first = std::find(row.begin(), row.end(), index);
    if (first == row.end())
        return {-1, -1};
    const auto last = std::find(row.rbegin(), row.rend(), index);
    return {int(first - row.begin()), int(row.rend() - last) - 1};
}

TEST(MarqueeEngine, PropertiesHaveTheirDefaultsAndClamp)
{
    RowMarquee m(100);
    EXPECT_FALSE(m.Active());
    EXPECT_EQ(m.Interval(), 10u);
    EXPECT_EQ(m.Step(), 1);
    EXPECT_EQ(m.Spacing(), 100);
    EXPECT_EQ(m.LoopSpacing(), 100);
    EXPECT_EQ(m.NumLoops(), 0u);
    EXPECT_EQ(m.Orientation(), moHorizontal);

    m.SetStep(0);
    EXPECT_EQ(m.Step(), 1);
    m.SetStep(7);
    EXPECT_EQ(m.Step(), 7);
    m.SetInterval(0);
    EXPECT_EQ(m.Interval(), TMarqueeTimer::PeriodMin);
    m.SetInterval(5000000);
    EXPECT_EQ(m.Interval(), TMarqueeTimer::PeriodMax);
    m.SetInterval(250);
    EXPECT_EQ(m.TimerResolution(), 25u);
    m.SetSpacing(150);
    EXPECT_EQ(m.Spacing(), 100);
    // Gaps are computed multiplying first: 33 % of 101 is 33, not 0.
    m.SetExtent(101);
    m.SetSpacing(33);
    m.SetLoopSpacing(50);
    EXPECT_EQ(m.GapBetweenItems, 33);
    EXPECT_EQ(m.GapBetweenLoops, 50);
}

// The recorder's settings: one item, step 1, spacing and loop spacing 100, endless.
TEST(MarqueeEngine, OneItemScrollsAPixelPerTickAndTheNextCopyFollowsAFullWidthBehind)
{
    RowMarquee m(200);
    m.SetItems({50});
    m.SetActive(true);
    ASSERT_EQ(m.timer->delays.back(), 10u); // 100 ticks per second: 100 pixels per second
    EXPECT_EQ(m.timer->resolutions.back(), 1u);

    ASSERT_EQ(m.timer->Fire(1), 1);
    EXPECT_EQ(span(m.Display(), 0), std::make_pair(199, 199)); // enters at the right edge
    ASSERT_EQ(m.timer->Fire(99), 99);
    EXPECT_EQ(span(m.Display(), 0), std::make_pair(100, 149));
    // After 249 ticks the copy's last pixel is at column 0 and nothing else shows.
    m.timer->Fire(149);
    EXPECT_EQ(span(m.Display(), 0), std::make_pair(0, 0));
    const auto row = m.Display();
    EXPECT_EQ(std::count(row.begin(), row.end(), 0), 1);
    EXPECT_EQ(m.wraps.load(), 0);
    // Tick 250: the copy has left and the next one starts at the right edge, so their edges
    // are a full width apart; it shows from the next tick on.
    m.timer->Fire(1);
    EXPECT_EQ(span(m.Display(), 0), std::make_pair(-1, -1));
    EXPECT_EQ(m.wraps.load(), 1);
    m.timer->Fire(1);
    EXPECT_EQ(span(m.Display(), 0), std::make_pair(199, 199));
    EXPECT_EQ(m.VisibleCount(), 1);
    EXPECT_EQ(m.wraps.load(), 1);
    EXPECT_EQ(m.LoopCount(), 1u);
    EXPECT_EQ(m.Display(), m.Reference());
    // Endless: still running after many loops.
    m.timer->Fire(2500);
    EXPECT_TRUE(m.Active());
    EXPECT_NE(m.timer->pending, 0u);
    EXPECT_EQ(m.LoopCount(), 11u);
}

TEST(MarqueeEngine, NumLoopsOneWithThreeItemsPassesOnceAndStops)
{
    RowMarquee m(100);
    m.SetSpacing(50);
    m.SetNumLoops(1);
    m.SetItems({30, 40, 50});
    m.SetActive(true);
    // Items enter at ticks 1, 81 (30 + gap 50) and 171 (40 + 50); the last leaves at
    // 170 + 100 + 50.
    const int ticks = m.timer->Fire(10000);
    EXPECT_EQ(ticks, 320);
    EXPECT_FALSE(m.Active());
    EXPECT_EQ(m.wraps.load(), 1);
    EXPECT_EQ(m.VisibleCount(), 0);
    EXPECT_EQ(m.timer->pending, 0u);
    EXPECT_EQ(m.Display(), std::vector<int>(100, -1));
    // Activated again it starts a fresh pass from the first item.
    m.SetActive(true);
    m.timer->Fire(1);
    EXPECT_EQ(span(m.Display(), 0), std::make_pair(99, 99));
}

// Every tick scrolls the pixels and draws only the uncovered strip; at every moment the
// result must equal a full redraw, whatever the sizes, gaps and step.
TEST(MarqueeEngine, ScrolledStripsAlwaysMatchAFullRedraw)
{
    for (int step : {1, 3, 7}) {
        RowMarquee m(97);
        m.SetStep(std::uint8_t(step));
        m.SetSpacing(20);
        m.SetLoopSpacing(60);
        m.SetItems({25, 5, 60, 13});
        m.SetActive(true);
        int maxVisible = 0;
        for (int t = 0; t < 600; ++t) {
            ASSERT_TRUE(m.timer->Fire()) << "step " << step << " tick " << t;
            ASSERT_EQ(m.Display(), m.Reference()) << "step " << step << " tick " << t;
            maxVisible = std::max(maxVisible, m.VisibleCount());
            if (t == 300)
                m.SetItemExtent(m.NewestIndex, 40); // a visible item changes size
        }
        EXPECT_GE(maxVisible, 3);
        EXPECT_GE(m.wraps.load(), 2);
    }
}

TEST(MarqueeEngine, RelayoutRebuildsTheSameVisibleItems)
{
    RowMarquee m(120);
    m.SetSpacing(10);
    m.SetLoopSpacing(30);
    m.SetItems({20, 35, 10});
    m.SetActive(true);
    for (int t = 0; t < 700; t += 23) {
        m.timer->Fire(23);
        m.Lock();
        const int visible = m.VisibleCount(), oldest = m.OldestIndex, offset = m.OldestOffset;
        const auto before = m.Reference();
        m.DoRelayout();
        EXPECT_EQ(m.VisibleCount(), visible) << t;
        EXPECT_EQ(m.OldestIndex, oldest) << t;
        EXPECT_EQ(m.OldestOffset, offset) << t;
        EXPECT_EQ(m.Reference(), before) << t;
        m.Unlock();
    }
}

TEST(MarqueeEngine, RelayoutDoesNotInventItemsOfLoopsThatNeverStarted)
{
    RowMarquee m(200);
    m.SetSpacing(0);
    m.SetLoopSpacing(0);
    m.SetItems({10, 10, 10});
    m.SetActive(true);
    m.timer->Fire(5); // item 0 of the first loop has entered 5 pixels
    m.DoRelayout();
    EXPECT_EQ(m.VisibleCount(), 1);
    const auto row = m.Display();
    EXPECT_EQ(std::count(row.begin(), row.end(), 2), 0);
}

TEST(MarqueeEngine, ChangingAnItemThatIsNotShowingKeepsTheDisplay)
{
    RowMarquee m(100);
    m.SetItems({30, 30, 30});
    m.SetActive(true);
    m.timer->Fire(40);
    ASSERT_TRUE(m.ItemShowing(0));
    ASSERT_FALSE(m.ItemShowing(2));
    const auto before = m.Display();
    m.SetItemExtent(2, 80);
    EXPECT_FALSE(m.repaint);
    EXPECT_EQ(m.Display(), before);
    // A showing item's change lays out again and repaints.
    m.SetItemExtent(0, 50);
    EXPECT_TRUE(m.repaint);
    m.timer->Fire(1);
    EXPECT_EQ(span(m.Display(), 0), std::make_pair(59, 99));
    EXPECT_EQ(m.Display(), m.Reference());
}

TEST(MarqueeEngine, TheTimerRunsOnlyWhenActiveWithItemsAndAWindow)
{
    RowMarquee m(100);
    m.SetActive(true);
    EXPECT_FALSE(m.TimerPending()); // no items
    m.SetItems({10});
    EXPECT_TRUE(m.TimerPending());
    m.SetCanRun(false);
    EXPECT_FALSE(m.TimerPending());
    EXPECT_FALSE(m.timer->Fire());
    m.SetCanRun(true);
    EXPECT_TRUE(m.TimerPending());
    // A tick of a countdown that was cancelled in the meantime does nothing.
    const std::uint32_t stale = m.timer->pending;
    m.SetActive(false);
    m.TimerTick(stale);
    EXPECT_EQ(m.VisibleCount(), 0);
    m.SetActive(true);
    m.timer->Fire(3);
    m.SetOrientation(moVertical); // clears the items and stops
    EXPECT_EQ(m.sizes.size(), 0u);
    EXPECT_EQ(m.VisibleCount(), 0);
    EXPECT_FALSE(m.TimerPending());
}

TEST(MarqueeTimer, FiresOnceCancelsAndReplaces)
{
    TOneShotTimer timer;
    std::atomic<int> fired{0};
    std::atomic<std::uint32_t> lastId{0};
    timer.SetCallback([&](std::uint32_t id) {
        lastId = id;
        ++fired;
    });
    const std::uint32_t a = timer.Arm(1, 0);
    for (int i = 0; i < 2000 && fired == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(fired.load(), 1);
    EXPECT_EQ(lastId.load(), a);
    // Cancelled before its time: never fires. Re-armed: only the newer one fires.
    const std::uint32_t b = timer.Arm(200, 20);
    timer.Cancel(b);
    const std::uint32_t c = timer.Arm(400, 40);
    const std::uint32_t d = timer.Arm(2, 0);
    EXPECT_NE(c, d);
    for (int i = 0; i < 2000 && fired < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fired.load(), 2);
    EXPECT_EQ(lastId.load(), d);
    // Destroying with a countdown pending returns at once (measured by the suite's timeout).
    timer.Arm(100000, 0);
}

// A chain of 10 ms countdowns re-armed from the callback keeps its pace (a late wake-up is made
// up, not carried forward), and with a batch of 10 ms two callbacks share each wake-up.
TEST(MarqueeTimer, AChainKeepsItsPaceAndABatchServesTwoCountdownsPerWakeUp)
{
    using Clock = std::chrono::steady_clock;
    TOneShotTimer timer(10);
    std::vector<Clock::time_point> calls;
    std::mutex m;
    timer.SetCallback([&](std::uint32_t) {
        std::lock_guard lock(m);
        calls.push_back(Clock::now());
        if (calls.size() < 40)
            timer.Arm(10, 1);
    });
    const auto start = Clock::now();
    timer.Arm(10, 1);
    for (int i = 0; i < 3000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard lock(m);
        if (calls.size() >= 40)
            break;
    }
    std::lock_guard lock(m);
    ASSERT_EQ(calls.size(), 40u);
    // 40 countdowns of 10 ms: about 400 ms however late each wake-up was (a chain re-armed from
    // "now" would take 40 wake-up delays longer).
    const double took = std::chrono::duration<double, std::milli>(calls.back() - start).count();
    EXPECT_GE(took, 395.0);
    EXPECT_LE(took, 480.0);
    // Wake-ups: callbacks more than 3 ms after the one before start a new one.
    int wakeUps = 1;
    for (std::size_t i = 1; i < calls.size(); ++i)
        wakeUps += calls[i] - calls[i - 1] > std::chrono::milliseconds(3);
    EXPECT_LE(wakeUps, 26) << "callbacks were not served in pairs";
}

// The real timer thread against a window thread that changes everything at the same time.
// Run under ThreadSanitizer this checks that every shared value is guarded by the lock.
TEST(MarqueeEngine, TicksOnTheTimerThreadWhileTheWindowThreadChangesThings)
{
    auto m = std::make_unique<RowMarquee>(64, false);
    m->SetInterval(1);
    m->SetStep(2);
    m->SetSpacing(10);
    m->SetItems({12, 20, 7});
    m->SetActive(true);
    // At least 300 ms, and on a slow machine until a few loops have passed (at most 5 s).
    const auto start = std::chrono::steady_clock::now();
    const auto busy = [&] {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed > std::chrono::seconds(5))
            return false;
        return elapsed < std::chrono::milliseconds(300) || m->wraps < 2 || m->ticksDrawn < 20;
    };
    int round = 0;
    while (busy()) {
        ++round;
        m->SetSpacing(std::uint8_t(round % 40));
        m->SetItemExtent(round % 3, 5 + round % 30);
        if (round % 97 == 0)
            m->SetItems({9, 14, 3, 30});
        if (round % 89 == 0)
            m->SetExtent(48 + round % 40);
        if (round % 13 == 0) {
            m->SetActive(false);
            m->SetActive(true);
        }
        m->Lock();
        if (!m->repaint) { // after a relayout the display is redrawn by the next tick
            EXPECT_EQ(m->Display(), m->Reference()) << round;
        }
        m->Unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_GT(m->ticksDrawn.load(), 20);
    EXPECT_GT(m->wraps.load(), 0) << m->ticksDrawn.load() << " ticks, " << m->LoopsStarted << " loops started";
    // Destroyed while the timer runs: the destructor waits for the tick and stops the thread.
    m.reset();
}

} // namespace
