// A date and time as both programs store and compare it: days since 30 December 1899 00:00 as a
// 64-bit float, the whole part being the date and the fraction the time of day.
//
// The value is a wall-clock reading in local time and carries no zone: converting a local
// QDateTime to it keeps the date and time the user sees, and on the day a daylight-saving
// change repeats an hour the same value is reached twice. Before 30 December 1899 the whole part
// is negative and the fraction still counts forward from midnight: -1.25 is 29 December 1899
// 06:00 (its magnitude is one and a quarter, its date part -1, its time 0.25).
//
// A value that is not a finite number or lies more than 10^8 days from the epoch (only a
// damaged record holds one) reads as the epoch, 30 December 1899 00:00.
//
// Conversions round to the millisecond; a time that rounds up to 24:00 becomes 00:00 of the
// next day. A plain value type, usable from any thread.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QTime>

#include <cstdint>
#include <optional>

class DateTimeValue {
public:
    constexpr DateTimeValue() = default;
    constexpr explicit DateTimeValue(double days) : days_(days) {}

    // The date and time of day given, in the same units as the stored value. An invalid date
    // counts as the epoch day, an invalid time as midnight.
    static DateTimeValue fromDateTime(const QDate &date, const QTime &time);
    // The local wall-clock reading of dt (converted to local time first).
    static DateTimeValue fromQDateTime(const QDateTime &dt);
    // The local time now.
    static DateTimeValue now();

    constexpr double days() const { return days_; }

    // The calendar date and the time of day of the value (rounded to the millisecond).
    QDate date() const;
    QTime time() const;
    // The value as a local date and time. A wall time that the local zone skips (the hour a
    // daylight-saving change leaves out) is moved forward as Qt does.
    QDateTime toLocalDateTime() const;

    // Days since the epoch day of the date part (negative before it).
    std::int64_t wholeDays() const;
    // Seconds since midnight of the time of day, 0..86399 (milliseconds dropped).
    int secondOfDay() const;
    // Milliseconds since midnight of the time of day, 0..86399999.
    int msecOfDay() const;

    // The same date with the time of day of other, and the other way round.
    DateTimeValue withTimeOf(const DateTimeValue &other) const;
    DateTimeValue withDateOf(const DateTimeValue &other) const;

    // The 8 bytes of the 64-bit float, little-endian, as the registry stand-in keeps them.
    QByteArray toBytes() const;
    // A value from exactly 8 bytes; nothing for any other length.
    static std::optional<DateTimeValue> fromBytes(const QByteArray &bytes);

    friend constexpr bool operator==(const DateTimeValue &a, const DateTimeValue &b) { return a.days_ == b.days_; }

private:
    // Splits the value into whole days from the epoch and milliseconds into the day.
    void split(std::int64_t *day, int *msec) const;

    double days_ = 0.0;
};

// The day the values count from: 30 December 1899.
inline QDate dateTimeEpoch()
{
    return QDate(1899, 12, 30);
}
