// The recorder's button pictures, drawn once per application.
#include "ButtonPictures.h"

#include <QAbstractButton>
#include <QCoreApplication>
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

namespace {

constexpr int PictureCount = 10;
QIcon *Pictures = nullptr; // made once per application object, freed with it

void freePictures()
{
    delete[] Pictures;
    Pictures = nullptr;
}

} // namespace

QIcon buttonPicture(TButtonPicture picture)
{
    const int index = picture;
    if (index < 0 || index >= PictureCount)
        return QIcon();
    // The same icon objects every time: a fresh icon for each state change would leave another
    // set of scaled and disabled pixmaps in Qt's pixmap cache at every pre-recording switch.
    if (!Pictures) {
        const QColor green(40, 160, 60), red(210, 40, 40), dark(60, 60, 70), grey(170, 170, 170);
        Pictures = new QIcon[PictureCount]{
            QIcon(draw(Shape::Triangle, green)), QIcon(draw(Shape::Circle, red)), QIcon(draw(Shape::Square, dark)),
            QIcon(draw(Shape::Square, red)),     QIcon(draw(Shape::Bars, dark)),  QIcon(draw(Shape::Bars, red)),
            QIcon(draw(Shape::Triangle, grey)),  QIcon(draw(Shape::Square, grey)), QIcon(draw(Shape::Bars, grey)),
            QIcon(draw(Shape::Circle, grey))};
        qAddPostRoutine(freePictures);
    }
    return Pictures[index];
}

void setButtonPicture(QAbstractButton *button, TButtonPicture picture)
{
    const int index = picture;
    if (button->property("picture").toInt() == index && !button->icon().isNull())
        return;
    button->setIcon(buttonPicture(picture));
    button->setProperty("picture", index);
}
