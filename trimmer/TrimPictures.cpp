// Toolbar pictures of the trimmer: theme icons with our own vector drawings behind them.
#include "TrimPictures.h"

#include <QPainter>
#include <QPolygonF>
#include <QPixmap>

namespace {

const char *themeName(TTrimPicture Which)
{
    switch (Which) {
    case TTrimPicture::Exit: return "application-exit";
    case TTrimPicture::Open: return "document-open";
    case TTrimPicture::Save: return "document-save";
    case TTrimPicture::Play: return "media-playback-start";
    case TTrimPicture::Pause: return "media-playback-pause";
    case TTrimPicture::Stop: return "media-playback-stop";
    default: return nullptr; // the markers, the speed reset and the exact save have no theme icon
    }
}

void drawOpen(QPainter &p)
{
    // A folder: back with its tab, then the front flap tilted open.
    p.setPen(QPen(QColor(150, 110, 30), 1.2));
    p.setBrush(QColor(230, 180, 70));
    p.drawPolygon(QPolygonF({QPointF(2.5, 5.5), QPointF(9, 5.5), QPointF(11, 7.5), QPointF(20.5, 7.5),
                            QPointF(20.5, 19.5), QPointF(2.5, 19.5)}));
    p.setBrush(QColor(250, 210, 110));
    p.drawPolygon(QPolygonF({QPointF(2.5, 19.5), QPointF(6, 10.5), QPointF(22.5, 10.5), QPointF(19.5, 19.5)}));
}

void drawSave(QPainter &p, QColor body = QColor(60, 110, 190))
{
    // A diskette: body, label and shutter.
    p.setPen(QPen(body.darker(160), 1.2));
    p.setBrush(body);
    p.drawPolygon(QPolygonF(
        {QPointF(3.5, 3.5), QPointF(17.5, 3.5), QPointF(20.5, 6.5), QPointF(20.5, 20.5), QPointF(3.5, 20.5)}));
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(6.5, 12.5, 11, 8));
    p.setBrush(QColor(200, 210, 230));
    p.drawRect(QRectF(7.5, 3.5, 8, 5.5));
    p.setBrush(body);
    p.drawRect(QRectF(12.5, 4.5, 2, 3.5));
}

void drawSaveExact(QPainter &p)
{
    // The diskette in green with an equals sign on its label: the clip is saved as it is.
    drawSave(p, QColor(40, 140, 80));
    p.setPen(QPen(QColor(20, 90, 50), 1.6));
    p.drawLine(QPointF(8.5, 15), QPointF(15.5, 15));
    p.drawLine(QPointF(8.5, 18), QPointF(15.5, 18));
}

void drawTriangle(QPainter &p, QColor c)
{
    p.setPen(QPen(c.darker(150), 1.2));
    p.setBrush(c);
    p.drawPolygon(QPolygonF({QPointF(6.5, 4), QPointF(20, 12), QPointF(6.5, 20)}));
}

void drawMarker(QPainter &p, bool start)
{
    // A flag on a post: the post stands where the mark goes, the arrow points at it.
    const QColor c = start ? QColor(30, 140, 60) : QColor(200, 50, 40);
    p.setPen(QPen(QColor(40, 40, 40), 2));
    const double postX = start ? 7 : 17;
    p.drawLine(QPointF(postX, 3), QPointF(postX, 21));
    p.setPen(QPen(c.darker(140), 1));
    p.setBrush(c);
    if (start)
        p.drawPolygon(QPolygonF({QPointF(8, 4), QPointF(20, 8), QPointF(8, 12)}));
    else
        p.drawPolygon(QPolygonF({QPointF(16, 4), QPointF(4, 8), QPointF(16, 12)}));
    // The playback position the mark jumps to.
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.drawLine(QPointF(3, 17), QPointF(21, 17));
}

void drawSpeedReset(QPainter &p)
{
    // A dial whose needle stands upright at the normal speed, with "1x" under it.
    p.setPen(QPen(QColor(50, 50, 60), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3, 4, 18, 18), 20 * 16, 140 * 16);
    p.setPen(QPen(QColor(200, 60, 40), 2));
    p.drawLine(QPointF(12, 13), QPointF(12, 6));
    p.setBrush(QColor(50, 50, 60));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(12, 13), 1.8, 1.8);
    QFont f = p.font();
    f.setPixelSize(8);
    f.setBold(true);
    p.setFont(f);
    p.setPen(QColor(50, 50, 60));
    p.drawText(QRectF(0, 14, 24, 10), Qt::AlignCenter, QStringLiteral("1x"));
}

void drawExit(QPainter &p)
{
    // A door with an arrow leaving it.
    p.setPen(QPen(QColor(90, 60, 40), 1.2));
    p.setBrush(QColor(170, 120, 80));
    p.drawRect(QRectF(4.5, 3.5, 10, 17));
    p.setPen(QPen(QColor(200, 40, 40), 2.2));
    p.drawLine(QPointF(11, 12), QPointF(21, 12));
    p.drawLine(QPointF(17.5, 8.5), QPointF(21, 12));
    p.drawLine(QPointF(17.5, 15.5), QPointF(21, 12));
}

} // namespace

QPixmap TrimOwnPicture(TTrimPicture Which, int Size)
{
    QPixmap pm(Size, Size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(Size / 24.0, Size / 24.0);
    const QColor dark(60, 60, 70);
    switch (Which) {
    case TTrimPicture::Exit: drawExit(p); break;
    case TTrimPicture::Open: drawOpen(p); break;
    case TTrimPicture::Save: drawSave(p); break;
    case TTrimPicture::SaveExact: drawSaveExact(p); break;
    case TTrimPicture::Play: drawTriangle(p, QColor(40, 160, 60)); break;
    case TTrimPicture::Pause:
        p.setPen(QPen(dark.darker(150), 1));
        p.setBrush(dark);
        p.drawRect(QRectF(6, 5, 4, 14));
        p.drawRect(QRectF(14, 5, 4, 14));
        break;
    case TTrimPicture::Stop:
        p.setPen(QPen(dark.darker(150), 1));
        p.setBrush(dark);
        p.drawRect(QRectF(6, 6, 12, 12));
        break;
    case TTrimPicture::MarkStart: drawMarker(p, true); break;
    case TTrimPicture::MarkEnd: drawMarker(p, false); break;
    case TTrimPicture::SpeedReset: drawSpeedReset(p); break;
    }
    return pm;
}

QIcon TrimPicture(TTrimPicture Which)
{
    QIcon own;
    own.addPixmap(TrimOwnPicture(Which, 24));
    own.addPixmap(TrimOwnPicture(Which, 48));
    if (const char *name = themeName(Which))
        return QIcon::fromTheme(QString::fromLatin1(name), own);
    return own;
}
