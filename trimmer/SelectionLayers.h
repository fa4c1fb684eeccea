// Layers over the trimmer's waveform picture: the picture control that hosts them, the
// positioned layer that marks the selected stretch and the rubber band whose side bars the user
// drags to set the start and the end of the clip.
//
// Coordinates. The picture bitmap (1920 columns in the trimmer) is stretched over the whole
// control, nearest-neighbour. A positioned layer keeps its Location in bitmap coordinates
// (floating point); mouse positions, handle geometry and painting are in control pixels. The
// control converts between the two by the same stretch (BitmapToControl, ControlToBitmap).
//
// Threads: everything here runs on the GUI thread. Callbacks (OnPaint, OnMouseDown,
// OnResizing, OnUserChange, the control's mouse callbacks) are called synchronously from the
// Qt event handlers of the control.
//
// Ownership: the control owns its layers (AddLayer hands the layer over); a layer lives as long
// as the control unless RemoveLayer hands it back. A band refers to its child layer without
// owning it; removing the child from the control detaches it first.
#pragma once

#include <QImage>
#include <QPointF>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QPainter;
class TLayeredImage;

// A rectangle of floating-point coordinates; right and bottom are the far edges.
struct TFloatRect {
    double Left = 0, Top = 0, Right = 0, Bottom = 0;
    double Width() const { return Right - Left; }
    double Height() const { return Bottom - Top; }
    bool operator==(const TFloatRect &) const = default;
};

// What a drag on the band does; the state under the mouse decides the pointer shape.
enum TDragState { dsNone, dsMove, dsSizeL, dsSizeT, dsSizeR, dsSizeB, dsSizeTL, dsSizeTR, dsSizeBL, dsSizeBR };

// The pointer shown while hovering over each drag state. dsMove shows the layer's own pointer
// (Cursor), passed in as MoveShape.
Qt::CursorShape DragStateCursor(TDragState State, Qt::CursorShape MoveShape = Qt::ArrowCursor);

// The screen-wide pointer: an application override cursor, or the default arrow when there is
// none. SetScreenCursor(Qt::ArrowCursor) removes every override (back to the default);
// another shape replaces the current override or installs one. Setting the shape that is
// already shown changes nothing.
void SetScreenCursor(Qt::CursorShape Shape);
Qt::CursorShape ScreenCursor();

// Layer options, combined in LayerOptions.
enum TLayerOption : unsigned { loVisible = 1u, loMouseEvents = 2u, loNoUpdate = 4u };
// Which handles a band has, combined in Handles.
enum THandleOption : unsigned { hoCentre = 1u, hoSides = 2u, hoCorners = 4u, hoFrame = 8u };

// Rounds to the nearest integer, halves to even (the rounding of every column and frame rule).
std::int64_t RoundHalfEven(long double Value);

// Columns and sample frames. With TotalSamples frames in the whole file and a picture
// PictureWidth columns wide, the stretch PlayStart..PlayEnd (columns) is played and saved as
// the frames from PlayStartFrame to PlayEndFrame. The start is scaled by 0.99: it lies 1 %
// closer to the beginning of the file than the column's exact share; the end is exact.
std::int64_t PlayStartFrame(std::int64_t TotalSamples, long double PlayStart, int PictureWidth);
std::int64_t PlayEndFrame(std::int64_t TotalSamples, long double PlayEnd, int PictureWidth);

// Click-to-seek: the picture column under control pixel X (integer division), and the frame a
// click on Column seeks to while the stretch PlayStart..PlayEnd plays (the column's share of
// TotalSamples across the stretch).
int ClickColumn(int X, int BitmapWidth, int ControlWidth);
std::int64_t ClickSeekFrame(std::int64_t TotalSamples, int Column, long double PlayStart, long double PlayEnd);

// The playback position in columns: Position bytes of TotalSamples frames of FrameBytes bytes
// each have been delivered while the stretch PlayStart..PlayEnd plays. 0 frames or bytes give
// PlayStart.
long double PlaybackColumn(std::int64_t Position, std::int64_t TotalSamples, int FrameBytes, long double PlayStart,
                           long double PlayEnd);

// The band's rules on a drag step, in bitmap columns: the proposed left stays at or right of
// 0 and the proposed right at or left of BitmapWidth; a move keeps the old left and right (the
// band is never moved, only its edges are dragged); dragging the left bar keeps it at least
// 3 × HandleSize columns left of the right bar, and the right bar as far right of the left.
void ConstrainBand(const TFloatRect &OldLocation, TFloatRect &NewLocation, TDragState DragState, double BitmapWidth,
                   int HandleSize);

// Shades a positioned layer's rectangle (in control pixels) with black at alpha 1F blended
// over what lies below; other layers are left alone.
void PaintSelectedShade(class TCustomLayer *Sender, QPainter &Buffer);

// Base of everything drawn over the picture. A layer belongs to one control, which paints the
// visible layers bottom to top over the bitmap and offers mouse events to the topmost layer
// with mouse events whose hit test passes.
class TCustomLayer {
public:
    explicit TCustomLayer(TLayeredImage *Owner);
    virtual ~TCustomLayer();
    TCustomLayer(const TCustomLayer &) = delete;
    TCustomLayer &operator=(const TCustomLayer &) = delete;

    TLayeredImage *Owner() const { return FOwner; }

    unsigned LayerOptions() const { return FLayerOptions; }
    void SetLayerOptions(unsigned Options);
    bool Visible() const { return FLayerOptions & loVisible; }

    int Tag = 0;
    // The pointer of the layer itself (dsMove shows it over a band).
    Qt::CursorShape Cursor = Qt::ArrowCursor;

    // Paint handler, called by Paint with the layer and the painter of the control.
    std::function<void(TCustomLayer *Sender, QPainter &Buffer)> OnPaint;
    // Mouse-down handler, called by MouseDown.
    std::function<void(TCustomLayer *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)>
        OnMouseDown;

    // Puts the layer on top of all others of its control.
    void BringToFront();
    // Asks the control to repaint.
    void Changed();

    // Hooks the control calls, in control pixels.
    virtual bool DoHitTest(int X, int Y);
    virtual void MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
    virtual void MouseMove(Qt::KeyboardModifiers Shift, int X, int Y);
    virtual void MouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
    // The mouse left the control.
    virtual void MouseLeave() {}
    virtual void Paint(QPainter &Buffer);

private:
    TLayeredImage *FOwner;
    unsigned FLayerOptions = loVisible;
};

// A layer with a rectangle in bitmap coordinates. Its hit test is the rectangle in control
// pixels; its Paint calls OnPaint.
class TPositionedLayer : public TCustomLayer {
public:
    explicit TPositionedLayer(TLayeredImage *Owner);

    const TFloatRect &Location() const { return FLocation; }
    virtual void SetLocation(const TFloatRect &Value);
    // The location in control pixels (floating point).
    TFloatRect GetAdjustedLocation() const;

    bool DoHitTest(int X, int Y) override;

private:
    TFloatRect FLocation;
};

// The rubber band: a positioned layer with handles that drags its own edges. Its child, when it
// has one, always has the band's location.
//
// A drag runs from a mouse-down on a handle (GetDragState other than dsNone) to the mouse-up.
// At mouse-down the band records its old location and the offset of the mouse from the edges
// it drags; each move proposes a new location from the old one, applies MinWidth/MinHeight and
// MaxWidth/MaxHeight (a maximum of 0 or below the minimum means none), then calls OnResizing with
// the old and the proposed location, which the handler may change. When the result differs
// from the current location the band (and its child) take it and OnUserChange fires.
class TRubberbandLayer : public TPositionedLayer {
public:
    explicit TRubberbandLayer(TLayeredImage *Owner);
    ~TRubberbandLayer() override;

    TPositionedLayer *ChildLayer() const { return FChildLayer; }
    // The band takes the child's location. nullptr detaches the child.
    void SetChildLayer(TPositionedLayer *Value);
    void SetLocation(const TFloatRect &Value) override;

    // Half the width of a handle in control pixels.
    int HandleSize = 3;
    QRgb HandleFill = 0xFFFFFFFFu;
    QRgb HandleFrame = 0xFF000000u;
    unsigned Handles = hoCentre | hoSides | hoCorners | hoFrame;
    double MinWidth = 0, MinHeight = 0, MaxWidth = 0, MaxHeight = 0;
    // The dashed frame's colours, repeated along the frame, one pixel each per StippleStep.
    std::vector<QRgb> FrameStipple{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFF000000u, 0xFF000000u};
    double StippleStep = 1.0;

    std::function<void(TRubberbandLayer *Sender, const TFloatRect &OldLocation, TFloatRect &NewLocation,
                       TDragState DragState, Qt::KeyboardModifiers Shift)>
        OnResizing;
    std::function<void(TRubberbandLayer *Sender)> OnUserChange;

    bool IsDragging() const { return FIsDragging; }
    TDragState DragState() const { return FDragState; }

    // The handle under control pixel (X, Y): the base takes HandleSize + 1 as tolerance in
    // both directions.
    virtual TDragState GetDragState(int X, int Y);
    // Hit rules of GetDragState with MiddleTolerance as the vertical tolerance of the side
    // handles around the band's middle height. First that holds wins: the corners BR, BL, TR,
    // TL; the sides R, B, L, T; inside the band dsMove; else dsNone. Handles that Handles
    // switches off are skipped.
    TDragState DragStateAt(int X, int Y, int MiddleTolerance) const;

    bool DoHitTest(int X, int Y) override;
    void MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y) override;
    // Not dragging: the drag state under the mouse and its pointer on the control. Dragging:
    // the proposed location from the old one (a move shifts both axes).
    void MouseMove(Qt::KeyboardModifiers Shift, int X, int Y) override;
    void MouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y) override;
    // The dashed frame and square handles of HandleSize around each handle point.
    void Paint(QPainter &Buffer) override;

protected:
    // The band's location in control pixels, rounded, with right and bottom reduced by one.
    QRect HandleRect() const;
    // The edge position a drag state moves, from the mouse less the recorded offset, in bitmap
    // coordinates.
    QPointF DragPoint(int X, int Y) const;
    // The location a drag to (Mx, My) proposes from the old location, sized within the limits.
    // MoveVertically false keeps top and bottom for dsMove.
    TFloatRect ProposedLocation(double Mx, double My, bool MoveVertically) const;
    // Passes the proposal through OnResizing and takes the result when it differs.
    void ApplyResize(TFloatRect Proposed, Qt::KeyboardModifiers Shift);
    // The dashed frame around HandleRect.
    void PaintFrame(QPainter &Buffer) const;
    // One handle: Rect filled with HandleFill blended over what lies below, its outermost
    // pixels in HandleFrame.
    void PaintHandle(QPainter &Buffer, const QRect &Rect) const;
    // The handle points that Handles allows, in control pixels.
    std::vector<QPoint> HandlePoints() const;

    TDragState FDragState = dsNone;
    TFloatRect FOldLocation;
    QPointF FMouseShift;

private:
    TPositionedLayer *FChildLayer = nullptr;
    bool FIsDragging = false;
    friend class TLayeredImage;
};

// The selected layer: a positioned layer that adds nothing to its base.
class MyTPositionedLayer : public TPositionedLayer {
public:
    using TPositionedLayer::TPositionedLayer;
};

// The trimmer's band. Its side handles are tall bars: they are hit within 30 pixels of the
// band's middle height and drawn 60 pixels tall; a drag never moves the band vertically; the
// pointer it shows while hovering is the screen-wide one.
class myTRubberbandLayer : public TRubberbandLayer {
public:
    using TRubberbandLayer::TRubberbandLayer;
    ~myTRubberbandLayer() override;

    void MouseMove(Qt::KeyboardModifiers Shift, int X, int Y) override;
    void Paint(QPainter &Buffer) override;
    TDragState GetDragState(int X, int Y) override;

    // Half the height of a handle bar, and the vertical tolerance of the side handles.
    static constexpr int BarHalfHeight = 30;

    // Puts the screen pointer back to the default when it is the one the band set.
    void ReleasePointer();
    // Leaving the control outside a drag releases the pointer, so that other controls do not
    // show a sizing arrow.
    void MouseLeave() override;

private:
    // The shape the band last put on the screen, or ArrowCursor.
    Qt::CursorShape FShownShape = Qt::ArrowCursor;
};

// The picture control: shows Bitmap stretched over the whole control (nearest-neighbour, white
// where there is no bitmap) with the layers painted over it, and dispatches the mouse to the
// layers. A mouse-down goes to the topmost visible layer with loMouseEvents whose hit test
// passes; that layer then receives the moves and the mouse-up of the drag. Then the control's
// own callbacks run, with that layer or nullptr.
class TLayeredImage : public QWidget {
    Q_OBJECT
public:
    explicit TLayeredImage(QWidget *Parent = nullptr);
    ~TLayeredImage() override;

    // The picture bitmap (ARGB32). Call Changed after drawing into it.
    QImage Bitmap;
    // Shows the bitmap again (a surface text goes).
    void Changed();

    // Writes Text onto the control's surface at x 20, y 10 (control pixels, white); it stays
    // until the bitmap is next shown (Changed).
    void DrawSurfaceText(const QString &Text);
    QString SurfaceText() const { return FSurfaceText; }

    // Layers bottom to top. AddLayer takes ownership and puts the layer on top.
    template <class L> L *AddLayer(std::unique_ptr<L> Layer)
    {
        L *Raw = Layer.get();
        FLayers.push_back(std::move(Layer));
        update();
        return Raw;
    }
    std::unique_ptr<TCustomLayer> RemoveLayer(TCustomLayer *Layer);
    const std::vector<std::unique_ptr<TCustomLayer>> &Layers() const { return FLayers; }
    void BringToFront(TCustomLayer *Layer);

    // The rectangle the bitmap fills, in control pixels: the whole control.
    QRectF BitmapRect() const { return QRectF(0, 0, width(), height()); }
    // Conversions between bitmap coordinates and control pixels (floating point).
    QPointF BitmapToControl(QPointF P) const;
    QPointF ControlToBitmap(QPointF P) const;
    // The centre of the control mapped to bitmap coordinates.
    QPointF ViewportCentre() const;

    // The control's mouse callbacks, after the layers had the event; Layer is the layer that
    // took the press (nullptr when none did).
    std::function<void(TLayeredImage *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y,
                       TCustomLayer *Layer)>
        OnMouseDown;
    std::function<void(TLayeredImage *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y,
                       TCustomLayer *Layer)>
        OnMouseUp;

protected:
    void paintEvent(QPaintEvent *Event) override;
    void mousePressEvent(QMouseEvent *Event) override;
    void mouseMoveEvent(QMouseEvent *Event) override;
    void mouseReleaseEvent(QMouseEvent *Event) override;
    void leaveEvent(QEvent *Event) override;

private:
    TCustomLayer *LayerAt(int X, int Y) const;

    QString FSurfaceText;
    std::vector<std::unique_ptr<TCustomLayer>> FLayers;
    // The layer that took the mouse-down, until the mouse-up.
    TCustomLayer *FMouseListener = nullptr;
    // The layer the mouse last hovered over; it is told when the mouse leaves it.
    TCustomLayer *FHoverLayer = nullptr;
};
