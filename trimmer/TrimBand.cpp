// The selection band over the picture: the selected layer and the band on it, the band's drag
// rules, the shade of the selected stretch, the two marker buttons and click-to-seek.
#include "TrimMain.h"

#include "AuMp3In.h"
#include "AuSoundOut.h"

#include <QCoreApplication>
#include <QPainter>

#include <algorithm>

void TForm1::SetSelection(MyTPositionedLayer *Value)
{
    if (Value == FSelection)
        return;
    if (RBLayer) {
        RBLayer->SetChildLayer(nullptr);
        RBLayer->SetLayerOptions(loNoUpdate);
        Image1->update();
    }
    FSelection = Value;
    if (!Value)
        return;
    if (RBLayer) {
        RBLayer->BringToFront();
    } else {
        RBLayer = Image1->AddLayer(std::make_unique<myTRubberbandLayer>(Image1));
        RBLayer->MinHeight = 1.0;
        RBLayer->HandleSize = 5;
        RBLayer->MinWidth = RBLayer->HandleSize;
    }
    RBLayer->SetChildLayer(Value);
    RBLayer->SetLayerOptions(loVisible | loMouseEvents | loNoUpdate);
    RBLayer->OnResizing = [this](TRubberbandLayer *Sender, const TFloatRect &Old, TFloatRect &New, TDragState State,
                                 Qt::KeyboardModifiers Shift) { BandResizing(Sender, Old, New, State, Shift); };
    RBLayer->HandleFill = 0x3FFF0000u;
}

void TForm1::LayerMouseDown(TCustomLayer *Sender, Qt::MouseButton, Qt::KeyboardModifiers, int, int)
{
    if (auto *Layer = dynamic_cast<MyTPositionedLayer *>(Sender))
        SetSelection(Layer);
}

MyTPositionedLayer *TForm1::CreateSelectionLayer()
{
    auto *Layer = Image1->AddLayer(std::make_unique<MyTPositionedLayer>(Image1));
    // Centred on the viewport: the whole width, and twice the control's height tall so that
    // its top and bottom (and the band's corner handles) lie outside the picture.
    const QPointF C = Image1->ViewportCentre();
    const double H = Image1->height();
    Layer->SetLocation({0, C.y() - H, 2 * C.x(), C.y() + H});
    Layer->SetLayerOptions(loVisible | loMouseEvents);
    Layer->Tag = 2;
    Layer->OnMouseDown = [this](TCustomLayer *Sender, Qt::MouseButton Buttons, Qt::KeyboardModifiers Shift, int X,
                                int Y) { LayerMouseDown(Sender, Buttons, Shift, X, Y); };
    Layer->OnPaint = [this](TCustomLayer *Sender, QPainter &Buffer) { ShadePaint(Sender, Buffer); };
    return Layer;
}

void TForm1::BandResizing(TRubberbandLayer *, const TFloatRect &OldLocation, TFloatRect &NewLocation,
                          TDragState DragState, Qt::KeyboardModifiers)
{
    ConstrainBand(OldLocation, NewLocation, DragState, Image1->Bitmap.width(), RBLayer ? RBLayer->HandleSize : 5);
    SelStart = NewLocation.Left;
    SelEnd = NewLocation.Right;
    // A playback (or pause) keeps its stretch until it ends; the selection alone moves.
    if (DXAudioOut1->Status() == tosIdle) {
        PlayStart = SelStart;
        PlayEnd = SelEnd;
    }
}

void TForm1::ShadePaint(TCustomLayer *Sender, QPainter &Buffer)
{
    PaintSelectedShade(Sender, Buffer);
}

TFloatRect TForm1::BandLocation() const
{
    return RBLayer ? RBLayer->Location() : (FSelection ? FSelection->Location() : TFloatRect{});
}

void TForm1::SetBandLocation(const TFloatRect &Location)
{
    if (RBLayer)
        RBLayer->SetLocation(Location);
    else if (FSelection)
        FSelection->SetLocation(Location);
}

// The names are crossed on purpose: "SetRight" moves the start, "SetLeft" the end, as their
// hints say.
void TForm1::btnSetRightClick()
{
    StartMarkPending = mpAsked;
    DrawWave();
}

void TForm1::btnSetLeftClick()
{
    EndMarkPending = mpAsked;
    DrawWave();
}

void TForm1::Image1MouseDown(TLayeredImage *, Qt::MouseButton, Qt::KeyboardModifiers, int X, int, TCustomLayer *)
{
    const int Width = Image1->Bitmap.width();
    const int x = ClickColumn(X, Width, Image1->width());
    const bool Playing = DXAudioOut1->Status() == tosPlaying;
    // Over a bar the pointer is a sizing arrow (and the hourglass while busy): then the click
    // belongs to the band, not to the playback.
    const bool DefaultPointer = ScreenCursor() == Qt::ArrowCursor;
    if (!Playing || !DefaultPointer)
        return;
    if (PlayStart <= 0 && PlayEnd >= Width) {
        // One seek, checked: a decoder that lands elsewhere is left there rather than retried
        // without end.
        const std::int64_t n = ClickSeekFrame(MP3In1->TotalSamples(), x, PlayStart, PlayEnd);
        MP3In1->Seek(n);
        if (MP3In1->Position() != n * FrameBytes)
            qWarning("Snipolux: the seek to frame %lld landed at byte %lld", static_cast<long long>(n),
                     static_cast<long long>(MP3In1->Position()));
    }
    DrawWave();
    WaitPumping(100);
}

void TForm1::Image1MouseUp(TLayeredImage *, Qt::MouseButton, Qt::KeyboardModifiers, int, int, TCustomLayer *)
{
    QCoreApplication::processEvents();
}
