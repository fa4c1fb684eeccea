// When a scheduled timer's start or stop moment is "now", and whether a one-shot timer can still
// be armed: plain rules on the local wall clock, free of any window, so that they can be tested
// with any clock.
//
// A moment is set with a date (the date picker) and a time of day (the time picker). Its position
// q and the present position p count whole seconds in the moment's period:
//   one-shot (no repeat)  the date and time themselves;
//   Hourly   (mode 0)     minute * 60 + second                      (0..3599)
//   Dayly    (mode 1)     hour * 3600 + minute * 60 + second        (0..86399)
//   Weekly   (mode 2)     from Monday 00:00:00 (0..604799); q is the date's weekday and the
//                         time of day
//   Monthly  (mode 3)     from the first day's 00:00:00; q is the date's day of the month and
//                         the time of day, moved to the month's last day in a month too short
//                         for it (the 31st fires on 30 April, 28 or 29 February)
// The moment is now in the two seconds q and q + 1, also when q + 1 falls into the next period
// or the next day (a timer at 23:59:59 is seen at 00:00:00 too), so a check every 1.5 seconds
// sees each moment once or twice.
//
// Every sighting comes with an occurrence number that names the moment it belongs to, so the
// caller can carry each moment out once. Occurrences count local wall-clock seconds, except for
// Hourly ones, which count real seconds: on the night a daylight-saving change repeats an hour,
// the repeated wall time is one occurrence for a one-shot, Dayly, Weekly or Monthly timer (it
// fires once) and two for an Hourly timer (it fires in each real hour). A wall time that the
// change skips (02:30 on the spring night in much of Europe) does not occur that day.
#pragma once

#include <QDate>
#include <QDateTime>

#include <cstdint>
#include <optional>
#include <vector>

enum TRepeatMode : int { rmHourly = 0, rmDayly = 1, rmWeekly = 2, rmMonthly = 3 };

// A start or stop setting of a timer, as the panel holds it.
struct TTimerMoment {
    QDate date;      // the date picker's date
    int second = 0;  // the time picker's time of day in seconds, 0..86399
    bool repeat = false;
    int mode = rmHourly; // TRepeatMode; other values never fire while repeating
};

// The present as the local clock reads it.
struct TWallClock {
    QDate date;
    int second = 0;       // of the day, 0..86399
    int utcOffset = 0;    // seconds east of UTC in force now

    static TWallClock fromLocal(const QDateTime &local);
    // One wall-clock second earlier (across midnight when need be).
    TWallClock previousSecond() const;
};

// Position of the present in a period.
int secondOfHour(const TWallClock &now);
int secondOfDay(const TWallClock &now);
int secondOfWeek(const TWallClock &now);
int secondOfMonth(const TWallClock &now);

// The position of a repeating moment in the period that contains the day `in` (for Monthly,
// the month of `in` decides where a 31st falls); -1 for an unknown mode.
int momentPosition(const TTimerMoment &m, const QDate &in);

// The occurrence the moment m has now, or nothing when it is not now.
std::optional<std::int64_t> momentOccurrence(const TTimerMoment &m, const TWallClock &now);

// The one-shot judgement of a timer whose settings are not valid for repeating: can it be armed?
// Dates compare as whole days and times of day separately, as the panel shows them.
//   start set: the start date is today or later, the start time of day later than now's, and the
//     address passes the stream-address check; with a stop set as well, the stop date is on or
//     after the start date and today or later, and the stop time of day later than both the
//     start's and now's;
//   only stop set: the stop date is today or later and its time of day later than now's;
//   neither: no.
bool oneShotArmable(const TWallClock &now, bool checkStart, const TTimerMoment &start, bool checkStop,
                    const TTimerMoment &stop, bool urlIsStream);

// Carries out the timers' moments one at a time and each occurrence once.
//
// The scheduler offers every sighting of a moment; a sighting of an occurrence already taken
// (the second look within its two-second window) is refused. Taken moments wait in order and
// drain runs them. The run may process window events and so call drain again (a later check
// finding another timer's moment, or the same timer's stop): that inner call only queues, and
// the outer one carries the moment out when the running one ends. Window thread only.
class TTrigSequencer {
public:
    struct Moment {
        int timer = 0;
        bool start = false;
        bool stop = false;
    };

    // Offers timer's sightings (an occurrence for the start and/or the stop); false when
    // nothing new was taken.
    bool offer(int timer, std::optional<std::int64_t> startOccurrence, std::optional<std::int64_t> stopOccurrence);
    // Runs every waiting moment in order, unless a run is already in progress further up.
    // A run that throws leaves the remaining moments waiting for the next drain.
    template <typename Run>
    void drain(Run &&run)
    {
        if (running_)
            return;
        running_ = true;
        struct Reset {
            bool &flag;
            ~Reset() { flag = false; }
        } reset{running_};
        while (!waiting_.empty()) {
            const Moment m = waiting_.front();
            waiting_.erase(waiting_.begin());
            run(m);
        }
    }
    bool running() const { return running_; }
    std::size_t waiting() const { return waiting_.size(); }

private:
    std::optional<std::int64_t> startTaken_[3], stopTaken_[3];
    std::vector<Moment> waiting_;
    bool running_ = false;
};
