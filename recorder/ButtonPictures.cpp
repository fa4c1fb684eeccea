#include "ButtonPictures.h"

#include <QAbstractButton>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

enum class Shape { Triangle, Circle, Square, Bars };

QPixmap draw(Shape shape, QColor color)
{
    QPixmap pm(24, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color.darker(150), 1));
    p.setBrush(color);
    switch (shape) {
    case Shape::Triangle: {
        QPainterPath path;
        path.moveTo(7, 4);
        path.lineTo(20, 12);
        path.lineTo(7, 20);
        path.closeSubpath();
        p.drawPath(path);
        break;
    }
    case Shape::Circle:
        p.drawEllipse(QRectF(5, 5, 14, 14));
        break;
    case Shape::Square:
        p.drawRect(QRectF(6, 6, 12, 12));
        break;
    case Shape::Bars:
        p.drawRect(QRectF(6, 5, 4, 14));
        p.drawRect(QRectF(14, 5, 4, 14));
        break;
    }
    return pm;
}

} // namespace

QIcon buttonPicture(int index)
{
    const QColor green(40, 160, 60), red(210, 40, 40), dark(60, 60, 70), grey(170, 170, 170);
    switch (index) {
    case 0: return QIcon(draw(Shape::Triangle, green));
    case 1: return QIcon(draw(Shape::Circle, red));
    case 2: return QIcon(draw(Shape::Square, dark));
    case 3: return QIcon(draw(Shape::Square, red));
    case 4: return QIcon(draw(Shape::Bars, dark));
    case 5: return QIcon(draw(Shape::Bars, red));
    case 6: return QIcon(draw(Shape::Triangle, grey));
    case 7: return QIcon(draw(Shape::Square, grey));
    case 8: return QIcon(draw(Shape::Bars, grey));
    case 9: return QIcon(draw(Shape::Circle, grey));
    default: return QIcon();
    }
}

void setButtonPicture(QAbstractButton *button, int index)
{
    button->setIcon(buttonPicture(index));
    button->setProperty("picture", index);
}
