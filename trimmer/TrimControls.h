// Controls of the trimmer's window that Qt has no ready counterpart for: the picture control
// that shows a 32-bit bitmap stretched to its size, the file dialogs the window keeps as
// objects with a file name, and the drop targets that accept files dropped on a control.
//
// Everything here lives on the GUI thread.
#pragma once

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

class QDropEvent;

// Shows Bitmap stretched to the control (nearest neighbour), centred, white behind it. Layers
// painted over the bitmap (the selection band) draw through OnPaintLayers in control pixels.
// A surface text, written with DrawSurfaceText, stays on the control until the bitmap is next
// shown again (Changed).
class TImage32 : public QWidget {
    Q_OBJECT
public:
    explicit TImage32(QWidget *parent = nullptr);

    // The picture bitmap (ARGB32). Call Changed after drawing into it.
    QImage Bitmap;
    void Changed();

    // The rectangle the bitmap fills on the control, in control pixels.
    QRectF BitmapRect() const;
    QPointF BitmapToControl(QPointF p) const;
    QPointF ControlToBitmap(QPointF p) const;

    // Writes Text onto the control's surface at x 20, y 10 (control pixels).
    void DrawSurfaceText(const QString &Text);
    QString SurfaceText() const { return FSurfaceText; }

    std::function<void(QPainter &)> OnPaintLayers;
    std::function<void(QMouseEvent *)> OnMouseDown, OnMouseUp, OnMouseMove;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    QString FSurfaceText;
};

// A file dialog kept as an object: Execute shows it and, when the user confirms, sets
// FileName. Tests install ExecuteHook to answer in place of the user (the hook gets the
// dialog, may set FileName, and returns whether the user confirmed).
class TTrimFileDialog {
public:
    enum Kind { Open, Save };
    explicit TTrimFileDialog(Kind k) : FKind(k) {}

    QString FileName;
    QString Filter;     // Qt's form: "MP3 Files (*.mp3)"
    QString DefaultExt; // without the dot
    bool Execute(QWidget *parent);

    static std::function<bool(TTrimFileDialog &)> ExecuteHook;
    Kind kind() const { return FKind; }

private:
    Kind FKind;
};

// Accepts copy, move and link drops of local files on Target and calls OnDrop with the file
// names, the keyboard modifiers, the drop point (Target's pixels) and the proposed action,
// which the handler may change (answering Qt::IgnoreAction keeps the file with the sender).
class TDropFileTarget : public QObject {
    Q_OBJECT
public:
    TDropFileTarget(QWidget *Target, QObject *parent);

    QWidget *Target() const { return FTarget; }
    QStringList Files;
    std::function<void(TDropFileTarget *Sender, Qt::KeyboardModifiers Shift, QPoint Point,
                       Qt::DropAction &Effect)>
        OnDrop;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *FTarget;
};
