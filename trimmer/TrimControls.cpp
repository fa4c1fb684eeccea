// The picture control, the file dialog objects and the drop targets of the trimmer's window.
#include "TrimControls.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

// ---------------------------------------------------------------------------------------------
// TImage32

TImage32::TImage32(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
}

void TImage32::Changed()
{
    FSurfaceText.clear();
    update();
}

QRectF TImage32::BitmapRect() const
{
    // Stretched to the control's full size, so the centred bitmap fills it exactly.
    return QRectF(0, 0, width(), height());
}

QPointF TImage32::BitmapToControl(QPointF p) const
{
    if (Bitmap.isNull())
        return p;
    const QRectF r = BitmapRect();
    return {r.left() + p.x() * r.width() / Bitmap.width(), r.top() + p.y() * r.height() / Bitmap.height()};
}

QPointF TImage32::ControlToBitmap(QPointF p) const
{
    const QRectF r = BitmapRect();
    if (Bitmap.isNull() || r.width() <= 0 || r.height() <= 0)
        return p;
    return {(p.x() - r.left()) * Bitmap.width() / r.width(), (p.y() - r.top()) * Bitmap.height() / r.height()};
}

void TImage32::DrawSurfaceText(const QString &Text)
{
    FSurfaceText = Text;
    update();
}

void TImage32::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (!Bitmap.isNull()) {
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.drawImage(BitmapRect(), Bitmap);
    }
    if (OnPaintLayers)
        OnPaintLayers(p);
    if (!FSurfaceText.isEmpty()) {
        p.setPen(Qt::white);
        const QFontMetrics fm(p.font());
        p.drawText(QPoint(20, 10 + fm.ascent()), FSurfaceText);
    }
}

void TImage32::mousePressEvent(QMouseEvent *event)
{
    if (OnMouseDown)
        OnMouseDown(event);
}

void TImage32::mouseReleaseEvent(QMouseEvent *event)
{
    if (OnMouseUp)
        OnMouseUp(event);
}

void TImage32::mouseMoveEvent(QMouseEvent *event)
{
    if (OnMouseMove)
        OnMouseMove(event);
}

// ---------------------------------------------------------------------------------------------
// TTrimFileDialog

std::function<bool(TTrimFileDialog &)> TTrimFileDialog::ExecuteHook;

bool TTrimFileDialog::Execute(QWidget *parent)
{
    if (ExecuteHook)
        return ExecuteHook(*this);
    QFileDialog dialog(parent);
    dialog.setNameFilter(Filter);
    if (!FileName.isEmpty())
        dialog.selectFile(FileName);
    if (FKind == Save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(DefaultExt);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = dialog.selectedFiles().constFirst();
    return true;
}

// ---------------------------------------------------------------------------------------------
// TDropFileTarget

namespace {

QStringList localFiles(const QMimeData *data)
{
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            files << url.toLocalFile();
    return files;
}

constexpr Qt::DropActions Accepted = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;

} // namespace

TDropFileTarget::TDropFileTarget(QWidget *Target, QObject *parent) : QObject(parent), FTarget(Target)
{
    Target->setAcceptDrops(true);
    Target->installEventFilter(this);
}

bool TDropFileTarget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != FTarget)
        return false;
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *e = static_cast<QDragMoveEvent *>(event);
        if ((e->possibleActions() & Accepted) && !localFiles(e->mimeData()).isEmpty())
            e->acceptProposedAction();
        else
            e->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto *e = static_cast<QDropEvent *>(event);
        Files = localFiles(e->mimeData());
        if (Files.isEmpty() || !(e->possibleActions() & Accepted)) {
            e->ignore();
            return true;
        }
        Qt::DropAction effect = e->proposedAction();
        if (OnDrop)
            OnDrop(this, e->modifiers(), e->position().toPoint(), effect);
        e->setDropAction(effect);
        e->accept();
        return true;
    }
    default:
        return false;
    }
}
