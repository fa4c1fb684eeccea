// The level meter of the Radio page: a horizontal bar of lit segments, green up to two thirds
// of the range, then yellow, then red, over a dark track; it shows a position and takes no
// input. Position and range as a track bar's (the recorder uses 20 to 120, levels below the
// minimum show an empty bar).
//
// While the meter cannot be seen (WindowExposure.h) a new value is only kept; it is drawn
// when the meter is seen again. Assistive tools read it as a progress bar with its value.
#pragma once

#include <QWidget>

class WindowExposure;

class LevelMeter : public QWidget {
    Q_OBJECT
public:
    explicit LevelMeter(QWidget *parent = nullptr);

    void setRange(int minimum, int maximum);
    int minimum() const { return min_; }
    int maximum() const { return max_; }
    // Clamped into the range.
    void setValue(int value);
    int value() const { return value_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int min_ = 0, max_ = 100, value_ = 0;
    WindowExposure *exposure_ = nullptr;
};
