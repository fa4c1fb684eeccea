// Conversions of the days-since-1899 date-time value to and from Qt's dates and times.
#include "DateTimeValue.h"

#include <QtEndian>

#include <cmath>
#include <cstring>

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// About 270 000 years either side of the epoch.
constexpr double kMaxDays = 1e8;

} // namespace

DateTimeValue DateTimeValue::fromDateTime(const QDate &date, const QTime &time)
{
    const std::int64_t day = date.isValid() ? dateTimeEpoch().daysTo(date) : 0;
    const double frac = time.isValid() ? static_cast<double>(time.msecsSinceStartOfDay()) / kMsPerDay : 0.0;
    // Before the epoch the time of day still counts forward, so it moves the value away from 0.
    return DateTimeValue(day < 0 ? static_cast<double>(day) - frac : static_cast<double>(day) + frac);
}

DateTimeValue DateTimeValue::fromQDateTime(const QDateTime &dt)
{
    const QDateTime local = dt.toLocalTime();
    return fromDateTime(local.date(), local.time());
}

DateTimeValue DateTimeValue::now()
{
    return fromQDateTime(QDateTime::currentDateTime());
}

void DateTimeValue::split(std::int64_t *day, int *msec) const
{
    // A stored value that is no number, or lies far beyond any calendar the programs show
    // (a damaged record), reads as the epoch rather than overflowing the day count.
    if (!std::isfinite(days_) || std::fabs(days_) > kMaxDays) {
        *day = 0;
        *msec = 0;
        return;
    }
    const double whole = std::trunc(days_);
    std::int64_t d = static_cast<std::int64_t>(whole);
    std::int64_t ms = std::llround(std::fabs(days_ - whole) * kMsPerDay);
    if (ms >= kMsPerDay) {
        // 23:59:59.9996 rounds to the next day's midnight; the date part counts up by one day
        // on both sides of the epoch.
        ms -= kMsPerDay;
        d += 1;
    }
    *day = d;
    *msec = static_cast<int>(ms);
}

QDate DateTimeValue::date() const
{
    std::int64_t d = 0;
    int ms = 0;
    split(&d, &ms);
    return dateTimeEpoch().addDays(d);
}

QTime DateTimeValue::time() const
{
    std::int64_t d = 0;
    int ms = 0;
    split(&d, &ms);
    return QTime::fromMSecsSinceStartOfDay(ms);
}

QDateTime DateTimeValue::toLocalDateTime() const
{
    return QDateTime(date(), time(), Qt::LocalTime);
}

std::int64_t DateTimeValue::wholeDays() const
{
    std::int64_t d = 0;
    int ms = 0;
    split(&d, &ms);
    return d;
}

int DateTimeValue::secondOfDay() const
{
    return msecOfDay() / 1000;
}

int DateTimeValue::msecOfDay() const
{
    std::int64_t d = 0;
    int ms = 0;
    split(&d, &ms);
    return ms;
}

DateTimeValue DateTimeValue::withTimeOf(const DateTimeValue &other) const
{
    return fromDateTime(date(), other.time());
}

DateTimeValue DateTimeValue::withDateOf(const DateTimeValue &other) const
{
    return fromDateTime(other.date(), time());
}

QByteArray DateTimeValue::toBytes() const
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &days_, sizeof bits);
    QByteArray out(8, '\0');
    qToLittleEndian(bits, out.data());
    return out;
}

std::optional<DateTimeValue> DateTimeValue::fromBytes(const QByteArray &bytes)
{
    if (bytes.size() != 8)
        return std::nullopt;
    const std::uint64_t bits = qFromLittleEndian<std::uint64_t>(bytes.constData());
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return DateTimeValue(v);
}
