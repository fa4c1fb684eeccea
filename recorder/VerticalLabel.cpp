#include "VerticalLabel.h"

#include <QMouseEvent>
#include <QPainter>

VerticalLabel::VerticalLabel(const QString &text, QWidget *parent) : QWidget(parent), text_(text) {}

void VerticalLabel::setText(const QString &text)
{
    text_ = text;
    updateGeometry();
    update();
}

QSize VerticalLabel::sizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.height(), fm.horizontalAdvance(text_) + 4};
}

void VerticalLabel::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.translate(0, height());
    p.rotate(-90);
    p.drawText(QRect(0, 0, height(), width()), Qt::AlignCenter, text_);
}

void VerticalLabel::mouseReleaseEvent(QMouseEvent *event)
{
    if (rect().contains(event->position().toPoint()))
        emit clicked();
    QWidget::mouseReleaseEvent(event);
}
