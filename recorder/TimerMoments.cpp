// The rules that decide when a scheduled timer's moment is now.
#include "TimerMoments.h"

#include <algorithm>

namespace {

constexpr int kDay = 86400;

std::int64_t wallSeconds(const QDate &date, int second)
{
    return date.toJulianDay() * kDay + second;
}

} // namespace

TWallClock TWallClock::fromLocal(const QDateTime &local)
{
    const QDateTime l = local.toLocalTime();
    return TWallClock{l.date(), l.time().msecsSinceStartOfDay() / 1000, l.offsetFromUtc()};
}

TWallClock TWallClock::previousSecond() const
{
    if (second > 0)
        return TWallClock{date, second - 1, utcOffset};
    return TWallClock{date.addDays(-1), kDay - 1, utcOffset};
}

int secondOfHour(const TWallClock &now)
{
    return now.second % 3600;
}

int secondOfDay(const TWallClock &now)
{
    return now.second;
}

int secondOfWeek(const TWallClock &now)
{
    return (now.date.dayOfWeek() - 1) * kDay + now.second;
}

int secondOfMonth(const TWallClock &now)
{
    return (now.date.day() - 1) * kDay + now.second;
}

int momentPosition(const TTimerMoment &m, const QDate &in)
{
    switch (m.mode) {
    case rmHourly:
        return m.second % 3600;
    case rmDayly:
        return m.second;
    case rmWeekly:
        return m.date.isValid() ? (m.date.dayOfWeek() - 1) * kDay + m.second : -1;
    case rmMonthly:
        return m.date.isValid() ? (std::min(m.date.day(), in.daysInMonth()) - 1) * kDay + m.second : -1;
    default:
        return -1;
    }
}

std::optional<std::int64_t> momentOccurrence(const TTimerMoment &m, const TWallClock &now)
{
    if (!m.repeat) {
        if (!m.date.isValid())
            return std::nullopt;
        const std::int64_t q = wallSeconds(m.date, m.second);
        const std::int64_t p = wallSeconds(now.date, now.second);
        if (p >= q && p - q < 2)
            return q;
        return std::nullopt;
    }
    // The present second or the one before it is the moment's position.
    for (const TWallClock &at : {now, now.previousSecond()}) {
        int p = -1;
        switch (m.mode) {
        case rmHourly: p = secondOfHour(at); break;
        case rmDayly: p = secondOfDay(at); break;
        case rmWeekly: p = secondOfWeek(at); break;
        case rmMonthly: p = secondOfMonth(at); break;
        default: return std::nullopt;
        }
        if (p == momentPosition(m, at.date)) {
            const std::int64_t wall = wallSeconds(at.date, at.second);
            return m.mode == rmHourly ? wall - at.utcOffset : wall;
        }
    }
    return std::nullopt;
}

bool oneShotArmable(const TWallClock &now, bool checkStart, const TTimerMoment &start, bool checkStop,
                    const TTimerMoment &stop, bool urlIsStream)
{
    if (checkStart) {
        bool ok = start.date.isValid() && start.date >= now.date && start.second > now.second && urlIsStream;
        if (ok && checkStop)
            ok = stop.date.isValid() && stop.date >= start.date && stop.second > start.second &&
                 stop.date >= now.date && stop.second > now.second;
        return ok;
    }
    if (checkStop)
        return stop.date.isValid() && stop.date >= now.date && stop.second > now.second;
    return false;
}

bool TTrigSequencer::offer(int timer, std::optional<std::int64_t> startOccurrence,
                           std::optional<std::int64_t> stopOccurrence)
{
    if (timer < 0 || timer > 2)
        return false;
    Moment m{timer, false, false};
    if (startOccurrence && startTaken_[timer] != startOccurrence) {
        startTaken_[timer] = startOccurrence;
        m.start = true;
    }
    if (stopOccurrence && stopTaken_[timer] != stopOccurrence) {
        stopTaken_[timer] = stopOccurrence;
        m.stop = true;
    }
    if (!m.start && !m.stop)
        return false;
    waiting_.push_back(m);
    return true;
}
