// When a scheduled timer fires: its moments seen through a check every 1.5 s over simulated
// days, weeks and a leap year, daylight-saving nights, the one-shot judgement, and carrying
// each moment out once even when a check runs in the middle of another moment's run.
#include "TimerMoments.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <stdexcept>

namespace {

struct Firing {
    QDate date;
    int second;
    std::int64_t occurrence;
};

// Checks moment m every 1.5 s of wall time from the start of `from` to the start of `to`
// (the first check `phaseMs` after midnight) and lists the checks that saw it.
std::vector<Firing> sweep(const TTimerMoment &m, QDate from, QDate to, int phaseMs = 0)
{
    std::vector<Firing> out;
    std::int64_t ms = phaseMs;
    for (QDate d = from; d < to;) {
        const int second = static_cast<int>(ms / 1000);
        const TWallClock now{d, second, 0};
        if (const auto occ = momentOccurrence(m, now))
            out.push_back({d, second, *occ});
        ms += 1500;
        if (ms >= 86400000) {
            ms -= 86400000;
            d = d.addDays(1);
        }
    }
    return out;
}

// The distinct occurrences among the firings, in order.
std::vector<std::int64_t> occurrences(const std::vector<Firing> &f)
{
    std::vector<std::int64_t> out;
    for (const Firing &x : f)
        if (out.empty() || out.back() != x.occurrence)
            out.push_back(x.occurrence);
    return out;
}

int hms(int h, int m, int s)
{
    return h * 3600 + m * 60 + s;
}

TEST(TimerMoments, HourlyFiresAtItsSecondOrTheNextInEveryHourAndNeverElse)
{
    const TTimerMoment m{QDate(2030, 1, 1), hms(9, 15, 0), true, rmHourly};
    for (int phase : {0, 500, 1000, 1499}) {
        SCOPED_TRACE(phase);
        const auto f = sweep(m, QDate(2026, 12, 9), QDate(2026, 12, 10), phase);
        for (const Firing &x : f) {
            EXPECT_EQ(x.date, QDate(2026, 12, 9));
            const int inHour = x.second % 3600;
            EXPECT_TRUE(inHour == 900 || inHour == 901) << x.second;
        }
        EXPECT_GE(f.size(), 24u);
        EXPECT_LE(f.size(), 48u);
        EXPECT_EQ(occurrences(f).size(), 24u) << "one moment in each hour";
    }
    // The date of a repeating timer plays no part: a start date years ahead fires today.
    const TTimerMoment future{QDate(2099, 1, 1), hms(0, 15, 0), true, rmHourly};
    EXPECT_TRUE(momentOccurrence(future, TWallClock{QDate(2026, 12, 9), hms(13, 15, 1), 0}));
    EXPECT_FALSE(momentOccurrence(future, TWallClock{QDate(2026, 12, 9), hms(13, 15, 2), 0}));
    EXPECT_FALSE(momentOccurrence(future, TWallClock{QDate(2026, 12, 9), hms(13, 14, 59), 0}));
}

TEST(TimerMoments, DaylyAndOneShotMomentsAtTheEndOfTheDayReachIntoTheNext)
{
    const TTimerMoment daily{QDate(2026, 1, 1), hms(23, 59, 59), true, rmDayly};
    const auto f = sweep(daily, QDate(2026, 12, 1), QDate(2026, 12, 8));
    ASSERT_EQ(occurrences(f).size(), 7u);
    for (const Firing &x : f)
        EXPECT_TRUE(x.second == hms(23, 59, 59) || x.second == 0) << x.second;
    // A check at 23:59:58.5 and the next at 00:00:00.0 still see it.
    EXPECT_TRUE(momentOccurrence(daily, TWallClock{QDate(2026, 12, 2), 0, 0}));

    const TTimerMoment once{QDate(2026, 12, 9), hms(23, 59, 59), false, rmHourly};
    const auto o = sweep(once, QDate(2026, 12, 1), QDate(2027, 1, 1));
    ASSERT_EQ(occurrences(o).size(), 1u);
    for (const Firing &x : o)
        EXPECT_TRUE((x.date == QDate(2026, 12, 9) && x.second == hms(23, 59, 59)) ||
                    (x.date == QDate(2026, 12, 10) && x.second == 0));
    // A one-shot sees only its own date, and its repeat mode plays no part.
    const TTimerMoment noon{QDate(2026, 12, 9), hms(12, 0, 0), false, rmMonthly};
    EXPECT_TRUE(momentOccurrence(noon, TWallClock{QDate(2026, 12, 9), hms(12, 0, 0), 0}));
    EXPECT_TRUE(momentOccurrence(noon, TWallClock{QDate(2026, 12, 9), hms(12, 0, 1), 0}));
    EXPECT_FALSE(momentOccurrence(noon, TWallClock{QDate(2026, 12, 9), hms(12, 0, 2), 0}));
    EXPECT_FALSE(momentOccurrence(noon, TWallClock{QDate(2026, 12, 10), hms(12, 0, 0), 0}));
    EXPECT_FALSE(momentOccurrence(noon, TWallClock{QDate(2027, 1, 9), hms(12, 0, 0), 0}));
}

TEST(TimerMoments, WeeklyFiresOnTheDatesWeekdayThroughALeapYear)
{
    // 2028 is a leap year; 16 February 2028 is a Wednesday.
    const TTimerMoment m{QDate(2028, 2, 16), hms(6, 30, 0), true, rmWeekly};
    const auto f = sweep(m, QDate(2028, 1, 1), QDate(2029, 1, 1), 700);
    const auto occ = occurrences(f);
    EXPECT_EQ(occ.size(), 52u); // 2028 has 52 Wednesdays (its first is 5 January)
    for (const Firing &x : f) {
        EXPECT_EQ(x.date.dayOfWeek(), 3) << x.date.toString(Qt::ISODate).toStdString();
        EXPECT_TRUE(x.second == hms(6, 30, 0) || x.second == hms(6, 30, 1));
    }
    // Sunday 23:59:59 is the last second of the week; the next is Monday 00:00:00.
    const TTimerMoment sunday{QDate(2028, 2, 20), hms(23, 59, 59), true, rmWeekly};
    EXPECT_TRUE(momentOccurrence(sunday, TWallClock{QDate(2028, 2, 27), hms(23, 59, 59), 0}));
    EXPECT_TRUE(momentOccurrence(sunday, TWallClock{QDate(2028, 2, 28), 0, 0}));
    EXPECT_FALSE(momentOccurrence(sunday, TWallClock{QDate(2028, 2, 28), 1, 0}));
    EXPECT_EQ(secondOfWeek(TWallClock{QDate(2028, 2, 28), 0, 0}), 0);
    EXPECT_EQ(secondOfWeek(TWallClock{QDate(2028, 2, 27), 86399, 0}), 604799);
}

TEST(TimerMoments, MonthlyFiresOnTheDayOfTheMonthOrTheMonthsLastDay)
{
    const TTimerMoment m{QDate(2027, 1, 31), hms(20, 0, 0), true, rmMonthly};
    const auto f = sweep(m, QDate(2028, 1, 1), QDate(2029, 1, 1), 300);
    std::map<int, QDate> byMonth;
    for (const Firing &x : f) {
        EXPECT_TRUE(x.second == hms(20, 0, 0) || x.second == hms(20, 0, 1));
        EXPECT_EQ(x.date, QDate(x.date.year(), x.date.month(), x.date.daysInMonth()));
        byMonth[x.date.month()] = x.date;
    }
    EXPECT_EQ(occurrences(f).size(), 12u);
    ASSERT_EQ(byMonth.size(), 12u);
    EXPECT_EQ(byMonth[2], QDate(2028, 2, 29));
    EXPECT_EQ(byMonth[4], QDate(2028, 4, 30));

    // The 29th: 29 February in a leap year, 28 February otherwise, the 29th elsewhere.
    const TTimerMoment d29{QDate(2026, 5, 29), hms(8, 0, 0), true, rmMonthly};
    EXPECT_EQ(occurrences(sweep(d29, QDate(2027, 2, 1), QDate(2027, 3, 1))).size(), 1u);
    EXPECT_TRUE(momentOccurrence(d29, TWallClock{QDate(2027, 2, 28), hms(8, 0, 0), 0}));
    EXPECT_TRUE(momentOccurrence(d29, TWallClock{QDate(2028, 2, 29), hms(8, 0, 1), 0}));
    EXPECT_FALSE(momentOccurrence(d29, TWallClock{QDate(2028, 2, 28), hms(8, 0, 0), 0}));
    EXPECT_TRUE(momentOccurrence(d29, TWallClock{QDate(2028, 3, 29), hms(8, 0, 0), 0}));
    // The last second of a month leads into the first of the next.
    const TTimerMoment last{QDate(2026, 1, 31), hms(23, 59, 59), true, rmMonthly};
    EXPECT_TRUE(momentOccurrence(last, TWallClock{QDate(2026, 5, 1), 0, 0}));
    EXPECT_FALSE(momentOccurrence(last, TWallClock{QDate(2026, 5, 2), 0, 0}));
    // An unknown mode never fires.
    const TTimerMoment odd{QDate(2026, 1, 1), 0, true, 7};
    EXPECT_FALSE(momentOccurrence(odd, TWallClock{QDate(2026, 1, 1), 0, 0}));
}

// Checks every 1.5 s of real time from the UTC instant `from` for `hours`, reading the local
// clock of Europe/Berlin, and counts the distinct occurrences the moment had.
int firingsThroughRealTime(const TTimerMoment &m, const QDateTime &from, int hours, std::vector<QTime> *at = nullptr)
{
    std::vector<Firing> f;
    const qint64 start = from.toMSecsSinceEpoch();
    for (qint64 t = start; t < start + hours * 3600000LL; t += 1500) {
        const TWallClock now = TWallClock::fromLocal(QDateTime::fromMSecsSinceEpoch(t));
        if (const auto occ = momentOccurrence(m, now)) {
            if (at && (f.empty() || f.back().occurrence != *occ))
                at->push_back(QTime::fromMSecsSinceStartOfDay(now.second * 1000));
            f.push_back({now.date, now.second, *occ});
        }
    }
    return static_cast<int>(occurrences(f).size());
}

TEST(TimerMoments, DaylightSavingNightsFollowTheLocalClock)
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
    // Sunday 25 October 2026: 03:00 summer time becomes 02:00 winter time; 02:00-02:59 happens twice.
    const QDateTime autumn(QDate(2026, 10, 25), QTime(0, 0), Qt::UTC); // 02:00 local summer time
    std::vector<QTime> hourly;
    EXPECT_EQ(firingsThroughRealTime({QDate(2026, 10, 25), hms(9, 15, 0), true, rmHourly}, autumn, 4, &hourly), 4)
        << "02:15 twice, 03:15, 04:15";
    ASSERT_EQ(hourly.size(), 4u);
    EXPECT_EQ(hourly[0], QTime(2, 15));
    EXPECT_EQ(hourly[1], QTime(2, 15));
    EXPECT_EQ(firingsThroughRealTime({QDate(2026, 10, 25), hms(2, 30, 0), true, rmDayly}, autumn, 4), 1);
    EXPECT_EQ(firingsThroughRealTime({QDate(2026, 10, 25), hms(2, 30, 0), false, rmHourly}, autumn, 4), 1);
    EXPECT_EQ(firingsThroughRealTime({QDate(2026, 10, 18), hms(2, 30, 0), true, rmWeekly}, autumn, 4), 1);

    // 29 March 2026: 02:00 winter time becomes 03:00 summer time; 02:00-02:59 does not happen.
    const QDateTime spring(QDate(2026, 3, 29), QTime(0, 0), Qt::UTC); // 01:00 local winter time
    EXPECT_EQ(firingsThroughRealTime({QDate(2026, 3, 29), hms(9, 15, 0), true, rmHourly}, spring, 3), 3)
        << "01:15, 03:15, 04:15 (02:15 never shows)";
    EXPECT_EQ(firingsThroughRealTime({QDate(2026, 3, 29), hms(2, 30, 0), true, rmDayly}, spring, 3), 0);
    EXPECT_EQ(firingsThroughRealTime({QDate(2026, 3, 29), hms(3, 0, 0), true, rmDayly}, spring, 3), 1);
}

TEST(TimerMoments, AOneShotCanBeArmedOnlyForAMomentStillAhead)
{
    const TWallClock now{QDate(2026, 12, 9), hms(10, 0, 0), 3600};
    const QDate today = now.date, tomorrow = today.addDays(1), yesterday = today.addDays(-1);
    auto at = [](QDate d, int s) { return TTimerMoment{d, s, false, rmHourly}; };
    const TTimerMoment none{};

    EXPECT_TRUE(oneShotArmable(now, true, at(today, hms(10, 0, 1)), false, none, true));
    EXPECT_FALSE(oneShotArmable(now, true, at(today, hms(10, 0, 0)), false, none, true));
    EXPECT_TRUE(oneShotArmable(now, true, at(tomorrow, hms(11, 0, 0)), false, none, true));
    // Dates and times of day compare separately: tomorrow at an earlier time of day is refused.
    EXPECT_FALSE(oneShotArmable(now, true, at(tomorrow, hms(9, 0, 0)), false, none, true));
    EXPECT_FALSE(oneShotArmable(now, true, at(yesterday, hms(11, 0, 0)), false, none, true));
    EXPECT_FALSE(oneShotArmable(now, true, at(today, hms(11, 0, 0)), false, none, false)) << "no stream address";

    // Start and stop: the stop after the start in both parts and still ahead.
    EXPECT_TRUE(oneShotArmable(now, true, at(today, hms(11, 0, 0)), true, at(today, hms(12, 0, 0)), true));
    EXPECT_FALSE(oneShotArmable(now, true, at(today, hms(11, 0, 0)), true, at(today, hms(11, 0, 0)), true));
    EXPECT_FALSE(oneShotArmable(now, true, at(tomorrow, hms(11, 0, 0)), true, at(today, hms(12, 0, 0)), true));
    EXPECT_TRUE(oneShotArmable(now, true, at(today, hms(11, 0, 0)), true, at(tomorrow, hms(12, 0, 0)), true));

    // Only a stop: ahead in both parts.
    EXPECT_TRUE(oneShotArmable(now, false, none, true, at(today, hms(10, 30, 0)), false));
    EXPECT_FALSE(oneShotArmable(now, false, none, true, at(tomorrow, hms(9, 30, 0)), false));
    EXPECT_FALSE(oneShotArmable(now, false, none, false, none, true));
}

TEST(TrigSequencer, EachOccurrenceIsCarriedOutOnceInOrderEvenWhenChecksRunMeanwhile)
{
    TTrigSequencer seq;
    std::vector<std::string> log;
    // The first look at timer 0's start.
    EXPECT_TRUE(seq.offer(0, 100, std::nullopt));
    // A second look at the same occurrence within its window is refused.
    EXPECT_FALSE(seq.offer(0, 100, std::nullopt));
    seq.drain([&](const TTrigSequencer::Moment &m) {
        log.push_back("run " + std::to_string(m.timer) + (m.start ? " start" : " stop"));
        if (log.size() == 1) {
            // Checks that run while timer 0's run waits: its own second sighting, timer 2's
            // stop and timer 1's start come up; none starts until the run ends.
            EXPECT_FALSE(seq.offer(0, 100, std::nullopt));
            EXPECT_TRUE(seq.offer(2, std::nullopt, 555));
            seq.drain([&](const TTrigSequencer::Moment &) { log.push_back("nested run"); });
            EXPECT_TRUE(seq.offer(1, 200, std::nullopt));
            EXPECT_TRUE(seq.running());
            EXPECT_EQ(seq.waiting(), 2u);
        }
    });
    EXPECT_EQ(log, (std::vector<std::string>{"run 0 start", "run 2 stop", "run 1 start"}));
    EXPECT_FALSE(seq.running());
    EXPECT_EQ(seq.waiting(), 0u);
    // The next hour's occurrence of timer 0 is new; a stop of timer 0 is independent of it.
    EXPECT_TRUE(seq.offer(0, 3700, 3700));
    EXPECT_FALSE(seq.offer(0, 3700, 3700));
    EXPECT_FALSE(seq.offer(3, 1, 1));

    // A run that fails leaves the rest waiting for the next drain.
    TTrigSequencer failing;
    failing.offer(0, 1, std::nullopt);
    failing.offer(1, 1, std::nullopt);
    EXPECT_THROW(failing.drain([](const TTrigSequencer::Moment &) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_FALSE(failing.running());
    EXPECT_EQ(failing.waiting(), 1u);
    int runs = 0;
    failing.drain([&](const TTrigSequencer::Moment &m) {
        EXPECT_EQ(m.timer, 1);
        ++runs;
    });
    EXPECT_EQ(runs, 1);
}

} // namespace
