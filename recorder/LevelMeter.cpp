// The level meter's drawing.
#include "LevelMeter.h"

#include "WindowExposure.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QPainter>

#include <algorithm>

namespace {

// A read-only progress bar for assistive tools: the level and its range.
class LevelMeterAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit LevelMeterAccessible(LevelMeter *meter) : QAccessibleWidget(meter, QAccessible::ProgressBar) {}

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QString::number(meter()->value());
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return meter()->value(); }
    void setCurrentValue(const QVariant &) override {} // shows a level, takes none
    QVariant maximumValue() const override { return meter()->maximum(); }
    QVariant minimumValue() const override { return meter()->minimum(); }
    QVariant minimumStepSize() const override { return 1; }

private:
    LevelMeter *meter() const { return static_cast<LevelMeter *>(widget()); }
};

QAccessibleInterface *levelMeterAccessibleFactory(const QString &, QObject *object)
{
    if (auto *meter = qobject_cast<LevelMeter *>(object))
        return new LevelMeterAccessible(meter);
    return nullptr;
}

} // namespace

LevelMeter::LevelMeter(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(levelMeterAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    exposure_ = new WindowExposure(this);
    connect(exposure_, &WindowExposure::onScreenChanged, this, [this](bool seen) {
        if (seen)
            update();
    });
}

void LevelMeter::setRange(int minimum, int maximum)
{
    min_ = minimum;
    max_ = std::max(minimum + 1, maximum);
    setValue(value_);
}

void LevelMeter::setValue(int value)
{
    const int v = std::clamp(value, min_, max_);
    if (v == value_)
        return;
    value_ = v;
    if (exposure_->onScreen())
        update();
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, value_);
        QAccessible::updateAccessibility(&event);
    }
}

void LevelMeter::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRect all = rect();
    p.fillRect(all, QColor(0x18, 0x1c, 0x22));
    constexpr int segments = 25, gap = 2;
    const int inner = all.width() - 4;
    const double segWidth = (inner - gap * (segments - 1)) / static_cast<double>(segments);
    const double lit = segments * double(value_ - min_) / double(max_ - min_);
    for (int i = 0; i < segments; ++i) {
        const int x = 2 + static_cast<int>(i * (segWidth + gap));
        const QRect seg(x, 3, static_cast<int>(segWidth), all.height() - 6);
        QColor c = i < segments * 2 / 3 ? QColor(0x2e, 0xcc, 0x40)
                   : i < segments * 17 / 20 ? QColor(0xf0, 0xd0, 0x30)
                                            : QColor(0xe8, 0x3a, 0x2a);
        if (i >= lit)
            c = c.darker(420);
        p.fillRect(seg, c);
    }
}
