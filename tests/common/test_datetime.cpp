// The days-since-1899 date-time value: known days, day boundaries, dates far before and after
// the epoch, the stored bytes and a daylight-saving change in local time.
#include "DateTimeValue.h"

#include <gtest/gtest.h>

#include <cmath>

#include <cstdlib>
#include <ctime>

namespace {

QDateTime at(int y, int m, int d, int h = 0, int min = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min, s, ms));
}

TEST(DateTimeValue, KnownDaysAndTimesOfDay)
{
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(1899, 12, 30), QTime(0, 0)).days(), 0.0);
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(1900, 1, 1), QTime(0, 0)).days(), 2.0);
    // 1900 has no 29 February.
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(1900, 3, 1), QTime(0, 0)).days(), 61.0);
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(2000, 1, 1), QTime(18, 0)).days(), 36526.75);
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(1899, 12, 29), QTime(6, 0)).days(), -1.25);
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(1899, 12, 30), QTime(12, 0)).days(), 0.5);

    const DateTimeValue v(36526.75);
    EXPECT_EQ(v.date(), QDate(2000, 1, 1));
    EXPECT_EQ(v.time(), QTime(18, 0));
    EXPECT_EQ(v.wholeDays(), 36526);
    EXPECT_EQ(v.secondOfDay(), 18 * 3600);
    EXPECT_EQ(DateTimeValue(-1.25).date(), QDate(1899, 12, 29));
    EXPECT_EQ(DateTimeValue(-1.25).time(), QTime(6, 0));
    EXPECT_EQ(DateTimeValue(-1.25).wholeDays(), -1);
}

TEST(DateTimeValue, DayBoundariesRoundToTheMillisecond)
{
    const DateTimeValue lastMs = DateTimeValue::fromDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 999));
    EXPECT_EQ(lastMs.date(), QDate(2026, 12, 31));
    EXPECT_EQ(lastMs.time(), QTime(23, 59, 59, 999));
    EXPECT_EQ(lastMs.secondOfDay(), 86399);
    // A hair before midnight is midnight of the next day, on both sides of the epoch.
    EXPECT_EQ(DateTimeValue(46387.99999999999).date(), DateTimeValue(46388.0).date());
    EXPECT_EQ(DateTimeValue(46387.99999999999).time(), QTime(0, 0));
    EXPECT_EQ(DateTimeValue(-2.99999999999).date(), QDate(1899, 12, 29));
    EXPECT_EQ(DateTimeValue(-2.99999999999).time(), QTime(0, 0));
    EXPECT_EQ(DateTimeValue(-0.99999999999).date(), QDate(1899, 12, 31));
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(2026, 1, 1), QTime(0, 0)).date(), QDate(2026, 1, 1));
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(2026, 1, 1), QTime(0, 0)).time(), QTime(0, 0));
}

TEST(DateTimeValue, RoundTripsFarBeforeAndAfterTheEpoch)
{
    // Every fifth day from 1600 to 2400, at a time of day that moves through the day.
    int checked = 0;
    for (QDate d(1600, 1, 1); d < QDate(2400, 1, 1); d = d.addDays(5)) {
        const QTime t = QTime::fromMSecsSinceStartOfDay(static_cast<int>((d.toJulianDay() * 7919123LL) % 86400000));
        const DateTimeValue v = DateTimeValue::fromDateTime(d, t);
        ASSERT_EQ(v.date(), d) << d.toString(Qt::ISODate).toStdString();
        ASSERT_EQ(v.time(), t) << d.toString(Qt::ISODate).toStdString();
        ASSERT_EQ(v.wholeDays(), QDate(1899, 12, 30).daysTo(d));
        ++checked;
    }
    EXPECT_GT(checked, 58000);
    // 2100 is no leap year, 2400 is.
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(2100, 3, 1), QTime()).days() -
                  DateTimeValue::fromDateTime(QDate(2100, 2, 28), QTime()).days(),
              1.0);
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(2400, 3, 1), QTime()).days() -
                  DateTimeValue::fromDateTime(QDate(2400, 2, 28), QTime()).days(),
              2.0);
    // Order is kept after the epoch; before it, only the date part orders the values.
    EXPECT_LT(DateTimeValue::fromDateTime(QDate(2101, 1, 1), QTime(1, 0)).days(),
              DateTimeValue::fromDateTime(QDate(2101, 1, 1), QTime(2, 0)).days());
}

TEST(DateTimeValue, TheSameDateWithAnotherTimeOfDay)
{
    const DateTimeValue date = DateTimeValue::fromDateTime(QDate(2031, 7, 4), QTime(9, 30));
    const DateTimeValue time = DateTimeValue::fromDateTime(QDate(1999, 1, 1), QTime(22, 15, 5));
    EXPECT_EQ(date.withTimeOf(time), DateTimeValue::fromDateTime(QDate(2031, 7, 4), QTime(22, 15, 5)));
    EXPECT_EQ(date.withDateOf(time), DateTimeValue::fromDateTime(QDate(1999, 1, 1), QTime(9, 30)));
    const DateTimeValue old = DateTimeValue::fromDateTime(QDate(1850, 5, 5), QTime(3, 0));
    EXPECT_EQ(old.withTimeOf(time).time(), QTime(22, 15, 5));
    EXPECT_EQ(old.withTimeOf(time).date(), QDate(1850, 5, 5));
}

TEST(DateTimeValue, StoredAsEightLittleEndianBytes)
{
    EXPECT_EQ(DateTimeValue(1.0).toBytes(), QByteArray::fromHex("000000000000f03f"));
    EXPECT_EQ(DateTimeValue::fromBytes(QByteArray::fromHex("000000000000f0bf"))->days(), -1.0);
    const DateTimeValue v = DateTimeValue::fromDateTime(QDate(2026, 12, 9), QTime(19, 12, 56, 123));
    EXPECT_EQ(DateTimeValue::fromBytes(v.toBytes())->days(), v.days());
    EXPECT_FALSE(DateTimeValue::fromBytes(QByteArray(7, '\0')).has_value());
    EXPECT_FALSE(DateTimeValue::fromBytes(QByteArray(9, '\0')).has_value());
}

TEST(DateTimeValue, LocalWallClockAcrossDaylightSavingChanges)
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
    auto fromUtc = [](QDateTime utc) {
        utc.setTimeSpec(Qt::UTC);
        return DateTimeValue::fromQDateTime(utc);
    };
    // Spring: 01:59:59 local is followed by 03:00:00.
    const DateTimeValue before = fromUtc(at(2026, 3, 29, 0, 59, 59));
    const DateTimeValue after = fromUtc(at(2026, 3, 29, 1, 0, 0));
    EXPECT_EQ(before.time(), QTime(1, 59, 59));
    EXPECT_EQ(after.time(), QTime(3, 0, 0));
    EXPECT_EQ(after.date(), QDate(2026, 3, 29));
    // Autumn: 02:30 local happens twice, one hour apart, and gives the same value both times.
    const DateTimeValue first = fromUtc(at(2026, 10, 25, 0, 30));
    const DateTimeValue second = fromUtc(at(2026, 10, 25, 1, 30));
    EXPECT_EQ(first.time(), QTime(2, 30));
    EXPECT_EQ(first, second);
    // Back to a local date and time.
    EXPECT_EQ(first.toLocalDateTime().time(), QTime(2, 30));
    EXPECT_EQ(DateTimeValue::fromDateTime(QDate(2026, 7, 1), QTime(12, 0)).toLocalDateTime().toUTC(),
              QDateTime(QDate(2026, 7, 1), QTime(10, 0), Qt::UTC));
}

} // namespace

TEST(DateTimeValue, DamagedStoredValuesReadAsTheEpochWithoutOverflow)
{
    // What a damaged record may hold: no number, infinities, values beyond any calendar.
    for (double v : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1.10639e+74, -9.3e18, 1e8 + 1})
    {
        const DateTimeValue d(v);
        EXPECT_EQ(d.date(), QDate(1899, 12, 30)) << v;
        EXPECT_EQ(d.msecOfDay(), 0) << v;
        EXPECT_EQ(d.wholeDays(), 0) << v;
        EXPECT_EQ(DateTimeValue::fromBytes(d.toBytes())->toBytes(), d.toBytes());
    }
    // The edge of the range still reads as a date.
    EXPECT_EQ(DateTimeValue(1e8).wholeDays(), 100000000);
}
