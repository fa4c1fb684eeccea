// The picture control with its layers, the rubber band and the trimmer's band; the rules that
// map picture columns to sample frames.
#include "SelectionLayers.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdlib>

// ---------------------------------------------------------------------------------------------
// Pointers and arithmetic

Qt::CursorShape DragStateCursor(TDragState State, Qt::CursorShape MoveShape)
{
    switch (State) {
    case dsNone:
        return Qt::ArrowCursor;
    case dsMove:
        return MoveShape;
    case dsSizeL:
    case dsSizeR:
        return Qt::SizeHorCursor;
    case dsSizeT:
    case dsSizeB:
        return Qt::SizeVerCursor;
    case dsSizeTL:
    case dsSizeBR:
        return Qt::SizeFDiagCursor;
    case dsSizeTR:
    case dsSizeBL:
        return Qt::SizeBDiagCursor;
    }
    return Qt::ArrowCursor;
}

Qt::CursorShape ScreenCursor()
{
    const QCursor *C = QGuiApplication::overrideCursor();
    return C ? C->shape() : Qt::ArrowCursor;
}

void SetScreenCursor(Qt::CursorShape Shape)
{
    if (Shape == Qt::ArrowCursor) {
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
        return;
    }
    if (!QGuiApplication::overrideCursor())
        QGuiApplication::setOverrideCursor(QCursor(Shape));
    else if (ScreenCursor() != Shape)
        QGuiApplication::changeOverrideCursor(QCursor(Shape));
}

std::int64_t RoundHalfEven(long double Value)
{
    // The default floating-point rounding mode rounds halves to even.
    return std::llrint(Value);
}

std::int64_t PlayStartFrame(std::int64_t TotalSamples, long double PlayStart, int PictureWidth)
{
    if (PictureWidth <= 0)
        return 0;
    return RoundHalfEven(static_cast<long double>(TotalSamples) * PlayStart * 0.99L / PictureWidth);
}

std::int64_t PlayEndFrame(std::int64_t TotalSamples, long double PlayEnd, int PictureWidth)
{
    if (PictureWidth <= 0)
        return 0;
    return RoundHalfEven(static_cast<long double>(TotalSamples) * PlayEnd / PictureWidth);
}

int ClickColumn(int X, int BitmapWidth, int ControlWidth)
{
    if (ControlWidth <= 0)
        return 0;
    return static_cast<int>(static_cast<std::int64_t>(X) * BitmapWidth / ControlWidth);
}

std::int64_t ClickSeekFrame(std::int64_t TotalSamples, int Column, long double PlayStart, long double PlayEnd)
{
    if (PlayEnd <= PlayStart)
        return 0;
    return RoundHalfEven(static_cast<long double>(TotalSamples) * (Column - PlayStart) / (PlayEnd - PlayStart));
}

long double PlaybackColumn(std::int64_t Position, std::int64_t TotalSamples, int FrameBytes, long double PlayStart,
                           long double PlayEnd)
{
    if (TotalSamples <= 0 || FrameBytes <= 0)
        return PlayStart;
    const long double F = static_cast<long double>(Position) / TotalSamples / FrameBytes;
    return F * (PlayEnd - PlayStart) + PlayStart;
}

void ConstrainBand(const TFloatRect &OldLocation, TFloatRect &NewLocation, TDragState DragState, double BitmapWidth,
                   int HandleSize)
{
    if (NewLocation.Left < 0)
        NewLocation.Left = 0;
    if (NewLocation.Right > BitmapWidth)
        NewLocation.Right = BitmapWidth;
    const double MinSpan = 3.0 * HandleSize;
    switch (DragState) {
    case dsMove:
        NewLocation.Left = OldLocation.Left;
        NewLocation.Right = OldLocation.Right;
        break;
    case dsSizeL:
        if (NewLocation.Right - NewLocation.Left < MinSpan)
            NewLocation.Left = NewLocation.Right - MinSpan;
        break;
    case dsSizeR:
        if (NewLocation.Right - NewLocation.Left < MinSpan)
            NewLocation.Right = NewLocation.Left + MinSpan;
        break;
    default:
        break;
    }
}

void PaintSelectedShade(TCustomLayer *Sender, QPainter &Buffer)
{
    const auto *Layer = dynamic_cast<const TPositionedLayer *>(Sender);
    if (!Layer || !Buffer.isActive())
        return;
    const TFloatRect A = Layer->GetAdjustedLocation();
    Buffer.save();
    Buffer.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // Whole control pixels, rounded like the band's handles, so shade and bars line up.
    const QRect R(QPoint(static_cast<int>(RoundHalfEven(A.Left)), static_cast<int>(RoundHalfEven(A.Top))),
                  QPoint(static_cast<int>(RoundHalfEven(A.Right)) - 1, static_cast<int>(RoundHalfEven(A.Bottom)) - 1));
    Buffer.fillRect(R, QColor::fromRgba(0x1F000000u));
    Buffer.restore();
}

// ---------------------------------------------------------------------------------------------
// TCustomLayer

TCustomLayer::TCustomLayer(TLayeredImage *Owner) : FOwner(Owner) {}

TCustomLayer::~TCustomLayer() = default;

void TCustomLayer::SetLayerOptions(unsigned Options)
{
    if (FLayerOptions == Options)
        return;
    FLayerOptions = Options;
    Changed();
}

void TCustomLayer::BringToFront()
{
    if (FOwner)
        FOwner->BringToFront(this);
}

void TCustomLayer::Changed()
{
    if (FOwner)
        FOwner->update();
}

bool TCustomLayer::DoHitTest(int, int)
{
    return true;
}

void TCustomLayer::MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)
{
    if (OnMouseDown)
        OnMouseDown(this, Button, Shift, X, Y);
}

void TCustomLayer::MouseMove(Qt::KeyboardModifiers, int, int) {}

void TCustomLayer::MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {}

void TCustomLayer::Paint(QPainter &Buffer)
{
    if (OnPaint)
        OnPaint(this, Buffer);
}

// ---------------------------------------------------------------------------------------------
// TPositionedLayer

TPositionedLayer::TPositionedLayer(TLayeredImage *Owner) : TCustomLayer(Owner) {}

void TPositionedLayer::SetLocation(const TFloatRect &Value)
{
    if (FLocation == Value)
        return;
    FLocation = Value;
    Changed();
}

TFloatRect TPositionedLayer::GetAdjustedLocation() const
{
    if (!Owner())
        return FLocation;
    const QPointF TL = Owner()->BitmapToControl({FLocation.Left, FLocation.Top});
    const QPointF BR = Owner()->BitmapToControl({FLocation.Right, FLocation.Bottom});
    return {TL.x(), TL.y(), BR.x(), BR.y()};
}

bool TPositionedLayer::DoHitTest(int X, int Y)
{
    const TFloatRect R = GetAdjustedLocation();
    return X >= R.Left && X < R.Right && Y >= R.Top && Y < R.Bottom;
}

// ---------------------------------------------------------------------------------------------
// TRubberbandLayer

namespace {

bool HasLeft(TDragState S) { return S == dsSizeL || S == dsSizeTL || S == dsSizeBL; }
bool HasRight(TDragState S) { return S == dsSizeR || S == dsSizeTR || S == dsSizeBR; }
bool HasTop(TDragState S) { return S == dsSizeT || S == dsSizeTL || S == dsSizeTR; }
bool HasBottom(TDragState S) { return S == dsSizeB || S == dsSizeBL || S == dsSizeBR; }

// Keeps Far − Near within [Min, Max] by moving the dragged end; Max of 0 or below Min means
// no maximum.
void LimitSpan(double &Moved, double Fixed, bool MovedIsFar, double Min, double Max)
{
    const double Span = MovedIsFar ? Moved - Fixed : Fixed - Moved;
    const bool HasMax = Max > 0 && Max >= Min;
    double Want = Span;
    if (Span < Min)
        Want = Min;
    else if (HasMax && Span > Max)
        Want = Max;
    if (Want != Span)
        Moved = MovedIsFar ? Fixed + Want : Fixed - Want;
}

} // namespace

TRubberbandLayer::TRubberbandLayer(TLayeredImage *Owner) : TPositionedLayer(Owner)
{
    SetLayerOptions(loVisible | loMouseEvents);
}

TRubberbandLayer::~TRubberbandLayer() = default;

void TRubberbandLayer::SetChildLayer(TPositionedLayer *Value)
{
    FChildLayer = Value;
    if (FChildLayer)
        TPositionedLayer::SetLocation(FChildLayer->Location());
    Changed();
}

void TRubberbandLayer::SetLocation(const TFloatRect &Value)
{
    TPositionedLayer::SetLocation(Value);
    if (FChildLayer)
        FChildLayer->SetLocation(Value);
}

QRect TRubberbandLayer::HandleRect() const
{
    const TFloatRect A = GetAdjustedLocation();
    const int L = static_cast<int>(RoundHalfEven(A.Left));
    const int T = static_cast<int>(RoundHalfEven(A.Top));
    const int R = static_cast<int>(RoundHalfEven(A.Right)) - 1;
    const int B = static_cast<int>(RoundHalfEven(A.Bottom)) - 1;
    return QRect(QPoint(L, T), QPoint(R, B));
}

TDragState TRubberbandLayer::DragStateAt(int X, int Y, int MiddleTolerance) const
{
    const QRect R = HandleRect();
    const int H = HandleSize + 1;
    const bool NearL = std::abs(R.left() - X) <= H;
    const bool NearR = std::abs(R.right() - X) <= H;
    const bool NearCx = std::abs((R.left() + R.right()) / 2 - X) <= H;
    const bool NearT = std::abs(R.top() - Y) <= H;
    const bool NearB = std::abs(R.bottom() - Y) <= H;
    const bool NearMy = std::abs((R.top() + R.bottom()) / 2 - Y) <= MiddleTolerance;
    const bool Corners = Handles & hoCorners;
    const bool Sides = Handles & hoSides;

    if (Corners && NearR && NearB)
        return dsSizeBR;
    if (Corners && NearL && NearB)
        return dsSizeBL;
    if (Corners && NearR && NearT)
        return dsSizeTR;
    if (Corners && NearL && NearT)
        return dsSizeTL;
    if (Sides && NearR && NearMy)
        return dsSizeR;
    if (Sides && NearCx && NearB)
        return dsSizeB;
    if (Sides && NearL && NearMy)
        return dsSizeL;
    if (Sides && NearT && NearCx)
        return dsSizeT;
    if ((Handles & hoCentre) && X >= R.left() && X <= R.right() && Y >= R.top() && Y <= R.bottom())
        return dsMove;
    return dsNone;
}

TDragState TRubberbandLayer::GetDragState(int X, int Y)
{
    return DragStateAt(X, Y, HandleSize + 1);
}

bool TRubberbandLayer::DoHitTest(int X, int Y)
{
    return GetDragState(X, Y) != dsNone;
}

void TRubberbandLayer::MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)
{
    if (Button == Qt::LeftButton) {
        FDragState = GetDragState(X, Y);
        FIsDragging = FDragState != dsNone;
        if (FIsDragging) {
            FOldLocation = Location();
            // The offset from the edges being dragged, so that grabbing a bar off its exact
            // edge does not make the edge jump to the mouse.
            const TFloatRect A = GetAdjustedLocation();
            const double EdgeX = HasRight(FDragState) ? A.Right : A.Left;
            const double EdgeY = HasBottom(FDragState) ? A.Bottom : A.Top;
            FMouseShift = QPointF(X - EdgeX, Y - EdgeY);
        }
    }
    TPositionedLayer::MouseDown(Button, Shift, X, Y);
}

QPointF TRubberbandLayer::DragPoint(int X, int Y) const
{
    const QPointF P(X - FMouseShift.x(), Y - FMouseShift.y());
    return Owner() ? Owner()->ControlToBitmap(P) : P;
}

TFloatRect TRubberbandLayer::ProposedLocation(double Mx, double My, bool MoveVertically) const
{
    TFloatRect N = FOldLocation;
    if (FDragState == dsMove) {
        N.Left = Mx;
        N.Right = Mx + FOldLocation.Width();
        if (MoveVertically) {
            N.Top = My;
            N.Bottom = My + FOldLocation.Height();
        }
        return N;
    }
    if (HasLeft(FDragState)) {
        N.Left = Mx;
        LimitSpan(N.Left, N.Right, false, MinWidth, MaxWidth);
    } else if (HasRight(FDragState)) {
        N.Right = Mx;
        LimitSpan(N.Right, N.Left, true, MinWidth, MaxWidth);
    }
    if (HasTop(FDragState)) {
        N.Top = My;
        LimitSpan(N.Top, N.Bottom, false, MinHeight, MaxHeight);
    } else if (HasBottom(FDragState)) {
        N.Bottom = My;
        LimitSpan(N.Bottom, N.Top, true, MinHeight, MaxHeight);
    }
    return N;
}

void TRubberbandLayer::ApplyResize(TFloatRect Proposed, Qt::KeyboardModifiers Shift)
{
    if (OnResizing)
        OnResizing(this, FOldLocation, Proposed, FDragState, Shift);
    if (Proposed == Location())
        return;
    SetLocation(Proposed);
    if (OnUserChange)
        OnUserChange(this);
}

void TRubberbandLayer::MouseMove(Qt::KeyboardModifiers Shift, int X, int Y)
{
    if (!FIsDragging) {
        FDragState = GetDragState(X, Y);
        if (Owner())
            Owner()->setCursor(DragStateCursor(FDragState, Cursor));
        return;
    }
    const QPointF M = DragPoint(X, Y);
    ApplyResize(ProposedLocation(M.x(), M.y(), true), Shift);
}

void TRubberbandLayer::MouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)
{
    FIsDragging = false;
    TPositionedLayer::MouseUp(Button, Shift, X, Y);
}

std::vector<QPoint> TRubberbandLayer::HandlePoints() const
{
    const QRect R = HandleRect();
    const int Cx = (R.left() + R.right()) / 2;
    const int Cy = (R.top() + R.bottom()) / 2;
    std::vector<QPoint> P;
    if (Handles & hoCorners)
        P.insert(P.end(), {R.topLeft(), R.topRight(), R.bottomLeft(), R.bottomRight()});
    if (Handles & hoSides)
        P.insert(P.end(), {{Cx, R.top()}, {Cx, R.bottom()}, {R.left(), Cy}, {R.right(), Cy}});
    return P;
}

void TRubberbandLayer::PaintFrame(QPainter &Buffer) const
{
    if (!(Handles & hoFrame) || FrameStipple.empty())
        return;
    const QRect R = HandleRect();
    const QRect Visible = Owner() ? Owner()->rect() : QRect(R);
    // The pattern runs once round the frame: top left to right, down the right side, bottom
    // right to left, up the left side. Points are gathered per colour and drawn together.
    std::vector<QPolygon> PerColour(FrameStipple.size());
    std::int64_t Counter = 0;
    auto Put = [&](int X, int Y) {
        const auto Index = static_cast<std::size_t>(static_cast<std::int64_t>(std::floor(Counter * StippleStep)) %
                                                    static_cast<std::int64_t>(FrameStipple.size()));
        ++Counter;
        if (Visible.contains(X, Y))
            PerColour[Index] << QPoint(X, Y);
    };
    for (int X = R.left(); X <= R.right(); ++X)
        Put(X, R.top());
    for (int Y = R.top() + 1; Y <= R.bottom(); ++Y)
        Put(R.right(), Y);
    for (int X = R.right() - 1; X >= R.left() && R.bottom() > R.top(); --X)
        Put(X, R.bottom());
    for (int Y = R.bottom() - 1; Y > R.top() && R.right() > R.left(); --Y)
        Put(R.left(), Y);

    Buffer.save();
    Buffer.setRenderHint(QPainter::Antialiasing, false);
    for (std::size_t I = 0; I < FrameStipple.size(); ++I) {
        if (PerColour[I].isEmpty())
            continue;
        Buffer.setPen(QPen(QColor::fromRgba(FrameStipple[I]), 0));
        Buffer.drawPoints(PerColour[I]);
    }
    Buffer.restore();
}

void TRubberbandLayer::PaintHandle(QPainter &Buffer, const QRect &Rect) const
{
    if (Rect.width() <= 0 || Rect.height() <= 0)
        return;
    const QColor Fill = QColor::fromRgba(HandleFill);
    const QColor Frame = QColor::fromRgba(HandleFrame);
    Buffer.save();
    Buffer.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // The frame as four strips that do not overlap, so a translucent frame blends once.
    Buffer.fillRect(QRect(Rect.left(), Rect.top(), Rect.width(), 1), Frame);
    if (Rect.height() > 1)
        Buffer.fillRect(QRect(Rect.left(), Rect.bottom(), Rect.width(), 1), Frame);
    if (Rect.height() > 2) {
        Buffer.fillRect(QRect(Rect.left(), Rect.top() + 1, 1, Rect.height() - 2), Frame);
        if (Rect.width() > 1)
            Buffer.fillRect(QRect(Rect.right(), Rect.top() + 1, 1, Rect.height() - 2), Frame);
    }
    const QRect Inside = Rect.adjusted(1, 1, -1, -1);
    if (Inside.width() > 0 && Inside.height() > 0)
        Buffer.fillRect(Inside, Fill);
    Buffer.restore();
}

void TRubberbandLayer::Paint(QPainter &Buffer)
{
    PaintFrame(Buffer);
    for (const QPoint &P : HandlePoints())
        PaintHandle(Buffer, QRect(P.x() - HandleSize, P.y() - HandleSize, 2 * HandleSize, 2 * HandleSize));
}

// ---------------------------------------------------------------------------------------------
// myTRubberbandLayer

myTRubberbandLayer::~myTRubberbandLayer()
{
    ReleasePointer();
}

TDragState myTRubberbandLayer::GetDragState(int X, int Y)
{
    return DragStateAt(X, Y, BarHalfHeight);
}

void myTRubberbandLayer::MouseMove(Qt::KeyboardModifiers Shift, int X, int Y)
{
    if (!IsDragging()) {
        FDragState = GetDragState(X, Y);
        FShownShape = DragStateCursor(FDragState, Cursor);
        SetScreenCursor(FShownShape);
        return;
    }
    const QPointF M = DragPoint(X, Y);
    ApplyResize(ProposedLocation(M.x(), M.y(), false), Shift);
}

void myTRubberbandLayer::Paint(QPainter &Buffer)
{
    PaintFrame(Buffer);
    for (const QPoint &P : HandlePoints())
        PaintHandle(Buffer, QRect(P.x() - HandleSize, P.y() - BarHalfHeight, 2 * HandleSize, 2 * BarHalfHeight));
}

void myTRubberbandLayer::ReleasePointer()
{
    if (FShownShape != Qt::ArrowCursor && ScreenCursor() == FShownShape)
        SetScreenCursor(Qt::ArrowCursor);
    FShownShape = Qt::ArrowCursor;
}

void myTRubberbandLayer::MouseLeave()
{
    if (!IsDragging())
        ReleasePointer();
}

// ---------------------------------------------------------------------------------------------
// TLayeredImage

TLayeredImage::TLayeredImage(QWidget *Parent) : QWidget(Parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TLayeredImage::~TLayeredImage()
{
    // Layers go top first; a band never touches its child when it goes.
    FMouseListener = nullptr;
    FHoverLayer = nullptr;
    while (!FLayers.empty())
        FLayers.pop_back();
}

void TLayeredImage::Changed()
{
    FSurfaceText.clear();
    update();
}

void TLayeredImage::DrawSurfaceText(const QString &Text)
{
    FSurfaceText = Text;
    update();
}

std::unique_ptr<TCustomLayer> TLayeredImage::RemoveLayer(TCustomLayer *Layer)
{
    auto It = std::find_if(FLayers.begin(), FLayers.end(), [&](const auto &P) { return P.get() == Layer; });
    if (It == FLayers.end())
        return nullptr;
    if (FMouseListener == Layer)
        FMouseListener = nullptr;
    if (FHoverLayer == Layer)
        FHoverLayer = nullptr;
    for (const auto &Other : FLayers)
        if (auto *Band = dynamic_cast<TRubberbandLayer *>(Other.get()); Band && Band->ChildLayer() == Layer)
            Band->SetChildLayer(nullptr);
    std::unique_ptr<TCustomLayer> Taken = std::move(*It);
    FLayers.erase(It);
    update();
    return Taken;
}

void TLayeredImage::BringToFront(TCustomLayer *Layer)
{
    auto It = std::find_if(FLayers.begin(), FLayers.end(), [&](const auto &P) { return P.get() == Layer; });
    if (It == FLayers.end() || std::next(It) == FLayers.end())
        return;
    std::rotate(It, std::next(It), FLayers.end());
    update();
}

QPointF TLayeredImage::BitmapToControl(QPointF P) const
{
    if (Bitmap.isNull() || width() <= 0 || height() <= 0)
        return P;
    return {P.x() * width() / Bitmap.width(), P.y() * height() / Bitmap.height()};
}

QPointF TLayeredImage::ControlToBitmap(QPointF P) const
{
    if (Bitmap.isNull() || width() <= 0 || height() <= 0)
        return P;
    return {P.x() * Bitmap.width() / width(), P.y() * Bitmap.height() / height()};
}

QPointF TLayeredImage::ViewportCentre() const
{
    return ControlToBitmap(QPointF(width() / 2.0, height() / 2.0));
}

TCustomLayer *TLayeredImage::LayerAt(int X, int Y) const
{
    for (auto It = FLayers.rbegin(); It != FLayers.rend(); ++It) {
        TCustomLayer *L = It->get();
        if ((L->LayerOptions() & (loVisible | loMouseEvents)) == (loVisible | loMouseEvents) && L->DoHitTest(X, Y))
            return L;
    }
    return nullptr;
}

void TLayeredImage::paintEvent(QPaintEvent *)
{
    QPainter P(this);
    P.fillRect(rect(), Qt::white);
    // Without SmoothPixmapTransform the stretch is nearest-neighbour.
    if (!Bitmap.isNull())
        P.drawImage(rect(), Bitmap);
    for (const auto &L : FLayers)
        if (L->Visible())
            L->Paint(P);
    if (!FSurfaceText.isEmpty()) {
        P.setPen(Qt::white);
        P.drawText(QPoint(20, 10 + P.fontMetrics().ascent()), FSurfaceText);
    }
}

void TLayeredImage::mousePressEvent(QMouseEvent *Event)
{
    const QPoint Pos = Event->position().toPoint();
    TCustomLayer *Layer = nullptr;
    if (!FMouseListener) {
        Layer = LayerAt(Pos.x(), Pos.y());
        FMouseListener = Layer;
        if (Layer)
            Layer->MouseDown(Event->button(), Event->modifiers(), Pos.x(), Pos.y());
    }
    if (OnMouseDown)
        OnMouseDown(this, Event->button(), Event->modifiers(), Pos.x(), Pos.y(), Layer);
}

void TLayeredImage::mouseMoveEvent(QMouseEvent *Event)
{
    const QPoint Pos = Event->position().toPoint();
    TCustomLayer *L = FMouseListener ? FMouseListener : LayerAt(Pos.x(), Pos.y());
    if (FHoverLayer && FHoverLayer != L)
        FHoverLayer->MouseLeave();
    FHoverLayer = L;
    if (L)
        L->MouseMove(Event->modifiers(), Pos.x(), Pos.y());
}

void TLayeredImage::mouseReleaseEvent(QMouseEvent *Event)
{
    const QPoint Pos = Event->position().toPoint();
    TCustomLayer *Layer = FMouseListener;
    if (Event->buttons() == Qt::NoButton) {
        FMouseListener = nullptr;
        if (Layer)
            Layer->MouseUp(Event->button(), Event->modifiers(), Pos.x(), Pos.y());
    }
    if (OnMouseUp)
        OnMouseUp(this, Event->button(), Event->modifiers(), Pos.x(), Pos.y(), Layer);
}

void TLayeredImage::leaveEvent(QEvent *Event)
{
    FHoverLayer = nullptr;
    for (const auto &L : FLayers)
        L->MouseLeave();
    QWidget::leaveEvent(Event);
}
