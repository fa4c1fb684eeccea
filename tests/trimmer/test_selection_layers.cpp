// The picture's layers on an offscreen control: the trimmer's band driven with real mouse
// events, its hit rules, pointers and painting, and the column/frame arithmetic.
#include "SelectionLayers.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

namespace {

QApplication &App()
{
    static int Argc = 1;
    static char Name[] = "selection-test";
    static char *Argv[] = {Name, nullptr};
    static QApplication *A = new QApplication(Argc, Argv);
    return *A;
}

constexpr int BitmapWidth = 1920;
constexpr int BitmapHeight = 82;
constexpr int ControlWidth = 640; // three columns per control pixel
constexpr int ControlHeight = 80;
constexpr QRgb Grey = 0xFF7F7F7Fu;

// A control with a grey picture, the selected layer and the trimmer's band over it, set up as
// the trimmer's window does: the selected layer spans the whole width and reaches above and
// below the picture; the band has 5-pixel handles, translucent red fill and the band rules.
struct AppFirst {
    AppFirst() { App(); }
};

struct PictureWithBand : AppFirst {
    TLayeredImage Image;
    MyTPositionedLayer *Selected = nullptr;
    myTRubberbandLayer *Band = nullptr;
    int UserChanges = 0;
    int Resizings = 0;

    PictureWithBand()
    {
        Image.resize(ControlWidth, ControlHeight);
        Image.Bitmap = QImage(BitmapWidth, BitmapHeight, QImage::Format_ARGB32);
        Image.Bitmap.fill(Grey);
        Image.Changed();

        Selected = Image.AddLayer(std::make_unique<MyTPositionedLayer>(&Image));
        const QPointF C = Image.ViewportCentre();
        const double H = Image.height();
        Selected->SetLocation({0, C.y() - H, 2 * C.x(), C.y() + H});
        Selected->SetLayerOptions(loVisible | loMouseEvents);
        Selected->Tag = 2;
        Selected->OnPaint = PaintSelectedShade;

        Band = Image.AddLayer(std::make_unique<myTRubberbandLayer>(&Image));
        Band->MinHeight = 1.0;
        Band->HandleSize = 5;
        Band->MinWidth = Band->HandleSize;
        Band->SetChildLayer(Selected);
        Band->SetLayerOptions(loVisible | loMouseEvents | loNoUpdate);
        Band->HandleFill = 0x3FFF0000u;
        Band->OnResizing = [this](TRubberbandLayer *, const TFloatRect &Old, TFloatRect &New, TDragState State,
                                  Qt::KeyboardModifiers) {
            ++Resizings;
            ConstrainBand(Old, New, State, BitmapWidth, Band->HandleSize);
        };
        Band->OnUserChange = [this](TRubberbandLayer *) { ++UserChanges; };
        Image.show();
    }
    ~PictureWithBand() { SetScreenCursor(Qt::ArrowCursor); }

    void SetColumns(double Left, double Right)
    {
        TFloatRect L = Band->Location();
        L.Left = Left;
        L.Right = Right;
        Band->SetLocation(L);
    }
    void Drag(QPoint From, QPoint To)
    {
        QTest::mouseMove(&Image, From);
        QTest::mousePress(&Image, Qt::LeftButton, {}, From);
        QTest::mouseMove(&Image, QPoint((From.x() + To.x()) / 2, To.y()));
        QTest::mouseMove(&Image, To);
        QTest::mouseRelease(&Image, Qt::LeftButton, {}, To);
    }
    QImage Grab()
    {
        return Image.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    }
};

void ExpectNear(QRgb Actual, int R, int G, int B, const char *Where)
{
    EXPECT_NEAR(qRed(Actual), R, 1) << Where;
    EXPECT_NEAR(qGreen(Actual), G, 1) << Where;
    EXPECT_NEAR(qBlue(Actual), B, 1) << Where;
}

} // namespace

TEST(SelectionLayers, SelectedLayerSpansThePictureAndReachesAboveAndBelowIt)
{
    PictureWithBand P;
    // 1920 × 82 stretched onto an 80-pixel control: the centre is (960, 41) and the layer
    // reaches 80 picture rows above and below it.
    EXPECT_EQ(P.Selected->Location(), (TFloatRect{0, -39, 1920, 121}));
    EXPECT_EQ(P.Band->Location(), P.Selected->Location());
}

TEST(SelectionLayers, DragStateTableAroundEachHandle)
{
    PictureWithBand P;
    P.SetColumns(960, 1440); // control pixels 320 .. 479, middle height 39
    struct Case {
        int X, Y;
        TDragState Want;
    };
    const Case Cases[] = {
        // left bar: 6 pixels either side of x 320, 30 pixels either side of y 39
        {314, 39, dsSizeL}, {326, 39, dsSizeL}, {313, 39, dsNone}, {327, 39, dsMove},
        {320, 9, dsSizeL}, {320, 69, dsSizeL}, {320, 8, dsMove}, {320, 70, dsMove}, {316, 70, dsNone},
        // right bar around x 479
        {473, 39, dsSizeR}, {485, 39, dsSizeR}, {486, 39, dsNone}, {472, 39, dsMove},
        {479, 9, dsSizeR}, {479, 69, dsSizeR}, {479, 8, dsMove}, {483, 75, dsNone},
        // inside and outside the band
        {400, 40, dsMove}, {400, 0, dsMove}, {400, 79, dsMove}, {100, 40, dsNone}, {600, 40, dsNone},
        // the handles above and below the picture: corners win over sides
        {320, -38, dsSizeTL}, {479, -38, dsSizeTR}, {320, 117, dsSizeBL}, {479, 117, dsSizeBR},
        {399, -38, dsSizeT}, {399, 117, dsSizeB}, {405, 111, dsSizeB}, {406, 111, dsMove},
    };
    for (const Case &C : Cases)
        EXPECT_EQ(P.Band->GetDragState(C.X, C.Y), C.Want) << "at " << C.X << "," << C.Y;

    // Over the whole control the left handle is exactly a 13 × 61 block, as is the right.
    std::map<TDragState, int> Count;
    int LeftMinX = 1000, LeftMaxX = -1, LeftMinY = 1000, LeftMaxY = -1;
    for (int Y = 0; Y < ControlHeight; ++Y)
        for (int X = 0; X < ControlWidth; ++X) {
            const TDragState S = P.Band->GetDragState(X, Y);
            ++Count[S];
            if (S == dsSizeL) {
                LeftMinX = std::min(LeftMinX, X), LeftMaxX = std::max(LeftMaxX, X);
                LeftMinY = std::min(LeftMinY, Y), LeftMaxY = std::max(LeftMaxY, Y);
            }
        }
    EXPECT_EQ(Count[dsSizeL], 13 * 61);
    EXPECT_EQ(Count[dsSizeR], 13 * 61);
    EXPECT_EQ(LeftMinX, 314);
    EXPECT_EQ(LeftMaxX, 326);
    EXPECT_EQ(LeftMinY, 9);
    EXPECT_EQ(LeftMaxY, 69);
    EXPECT_EQ(Count.count(dsSizeT) + Count.count(dsSizeB) + Count.count(dsSizeTL) + Count.count(dsSizeBR), 0u);

    // Switching the sides off leaves only the move area.
    P.Band->Handles = hoCentre | hoFrame;
    EXPECT_EQ(P.Band->GetDragState(320, 39), dsMove);
    EXPECT_EQ(P.Band->GetDragState(314, 39), dsNone);
}

TEST(SelectionLayers, HoveringShowsTheScreenPointerOfEachDragState)
{
    PictureWithBand P;
    P.SetColumns(960, 1440);
    QTest::mouseMove(&P.Image, QPoint(321, 40));
    EXPECT_EQ(ScreenCursor(), Qt::SizeHorCursor);
    QTest::mouseMove(&P.Image, QPoint(400, 40));
    EXPECT_EQ(ScreenCursor(), Qt::ArrowCursor);
    QTest::mouseMove(&P.Image, QPoint(480, 60));
    EXPECT_EQ(ScreenCursor(), Qt::SizeHorCursor);
    // Off the band entirely: the band no longer takes the mouse, yet the arrow comes back.
    QTest::mouseMove(&P.Image, QPoint(600, 40));
    EXPECT_EQ(ScreenCursor(), Qt::ArrowCursor);

    // Leaving the control over a handle gives the other controls their own pointer back...
    QTest::mouseMove(&P.Image, QPoint(321, 40));
    ASSERT_EQ(ScreenCursor(), Qt::SizeHorCursor);
    QEvent Leave(QEvent::Leave);
    QApplication::sendEvent(&P.Image, &Leave);
    EXPECT_EQ(ScreenCursor(), Qt::ArrowCursor);
    // ...but leaves an hourglass shown since then alone.
    QTest::mouseMove(&P.Image, QPoint(321, 40));
    SetScreenCursor(Qt::WaitCursor);
    QApplication::sendEvent(&P.Image, &Leave);
    EXPECT_EQ(ScreenCursor(), Qt::WaitCursor);

    EXPECT_EQ(DragStateCursor(dsSizeT), Qt::SizeVerCursor);
    EXPECT_EQ(DragStateCursor(dsSizeTL), Qt::SizeFDiagCursor);
    EXPECT_EQ(DragStateCursor(dsSizeBR), Qt::SizeFDiagCursor);
    EXPECT_EQ(DragStateCursor(dsSizeTR), Qt::SizeBDiagCursor);
    EXPECT_EQ(DragStateCursor(dsMove, Qt::OpenHandCursor), Qt::OpenHandCursor);
}

TEST(SelectionLayers, DraggingTheBarsStopsAtTheLimits)
{
    PictureWithBand P;
    P.SetColumns(960, 1440);

    // Grabbed two pixels right of its edge, the left bar keeps that offset: no jump.
    P.Drag({322, 40}, {332, 40});
    EXPECT_DOUBLE_EQ(P.Band->Location().Left, 990);
    EXPECT_DOUBLE_EQ(P.Band->Location().Right, 1440);
    EXPECT_EQ(P.Selected->Location(), P.Band->Location());
    EXPECT_EQ(P.UserChanges, 2); // half way and at the end

    // Past the right bar: stops 15 columns before it.
    P.Drag({330, 40}, {620, 40});
    EXPECT_DOUBLE_EQ(P.Band->Location().Left, 1425);
    EXPECT_DOUBLE_EQ(P.Band->Location().Right, 1440);

    // Left of the picture: stops at 0. (Where the bars overlap the right one is taken.)
    P.SetColumns(960, 1440);
    P.Drag({320, 40}, {-60, 40});
    EXPECT_DOUBLE_EQ(P.Band->Location().Left, 0);

    // The right bar beyond the picture stops at 1920; past the left bar 15 columns after it.
    P.Drag({479, 40}, {700, 40});
    EXPECT_DOUBLE_EQ(P.Band->Location().Right, 1920);
    P.SetColumns(600, 900);
    P.Drag({299, 40}, {10, 40});
    EXPECT_DOUBLE_EQ(P.Band->Location().Left, 600);
    EXPECT_DOUBLE_EQ(P.Band->Location().Right, 615);

    // Top and bottom never move.
    EXPECT_DOUBLE_EQ(P.Band->Location().Top, -39);
    EXPECT_DOUBLE_EQ(P.Band->Location().Bottom, 121);
    EXPECT_FALSE(P.Band->IsDragging());
}

TEST(SelectionLayers, DraggingInsideTheBandMovesNothing)
{
    PictureWithBand P;
    P.SetColumns(960, 1440);
    const TFloatRect Before = P.Band->Location();
    P.Drag({400, 40}, {450, 10});
    EXPECT_EQ(P.Band->Location(), Before);
    EXPECT_EQ(P.Selected->Location(), Before);
    EXPECT_GT(P.Resizings, 0); // the band was dragged, and the rules kept it
    EXPECT_EQ(P.UserChanges, 0);

    // Pressing off the band drags nothing; the control still reports the press, without layer.
    TCustomLayer *Reported = P.Band;
    int Presses = 0;
    P.Image.OnMouseDown = [&](TLayeredImage *, Qt::MouseButton, Qt::KeyboardModifiers, int, int, TCustomLayer *L) {
        ++Presses;
        Reported = L;
    };
    P.Drag({600, 40}, {300, 40});
    EXPECT_EQ(Presses, 1);
    EXPECT_EQ(Reported, nullptr);
    EXPECT_EQ(P.Band->Location(), Before);
    P.Drag({321, 40}, {300, 40});
    EXPECT_EQ(Reported, P.Band);
}

TEST(SelectionLayers, WithoutTheRulesTheBaseKeepsMinimumWidthAndMovesTheBand)
{
    PictureWithBand P;
    P.Band->OnResizing = nullptr;
    P.SetColumns(960, 1440);
    P.Drag({320, 40}, {600, 40});
    EXPECT_DOUBLE_EQ(P.Band->Location().Left, 1440 - 5); // MinWidth
    P.SetColumns(960, 1440);
    P.Drag({400, 40}, {410, 70});
    EXPECT_DOUBLE_EQ(P.Band->Location().Left, 990);
    EXPECT_DOUBLE_EQ(P.Band->Location().Right, 1470);
    EXPECT_DOUBLE_EQ(P.Band->Location().Top, -39); // this band never moves vertically
}

TEST(SelectionLayers, PaintShadesTheSelectionAndDrawsTheSideBars)
{
    PictureWithBand P;
    P.SetColumns(960, 1440);
    const QImage G = P.Grab();
    ASSERT_EQ(G.size(), QSize(ControlWidth, ControlHeight));
    const QString Dir = qEnvironmentVariable("FONOLUX_SCREENSHOTS", QDir::tempPath());
    QDir().mkpath(Dir);
    G.save(Dir + QStringLiteral("/selection_band.png"));

    // Outside: the picture as it is. Inside: black at alpha 1F over it.
    const int Shaded = 127 * (255 - 0x1F) / 255;
    ExpectNear(G.pixel(100, 40), 127, 127, 127, "left of the band");
    ExpectNear(G.pixel(600, 40), 127, 127, 127, "right of the band");
    ExpectNear(G.pixel(400, 40), Shaded, Shaded, Shaded, "inside the band");
    ExpectNear(G.pixel(400, 0), Shaded, Shaded, Shaded, "inside the band, top row");
    ExpectNear(G.pixel(478, 79), Shaded, Shaded, Shaded, "inside the band, last column");

    // The left bar: 10 wide (315 .. 324) and 60 tall (9 .. 68), outlined black, filled with
    // red at alpha 3F; left of x 320 over the plain picture, right of it over the shade.
    for (int X = 315; X <= 324; ++X) {
        EXPECT_EQ(G.pixel(X, 9), 0xFF000000u) << X;
        EXPECT_EQ(G.pixel(X, 68), 0xFF000000u) << X;
        if (X != 320) { // the band's dashed edge runs on above and below the bar
            EXPECT_NE(G.pixel(X, 8), 0xFF000000u) << X;
            EXPECT_NE(G.pixel(X, 69), 0xFF000000u) << X;
        }
    }
    for (int Y = 9; Y <= 68; ++Y) {
        EXPECT_EQ(G.pixel(315, Y), 0xFF000000u) << Y;
        EXPECT_EQ(G.pixel(324, Y), 0xFF000000u) << Y;
    }
    ExpectNear(G.pixel(314, 40), 127, 127, 127, "just left of the bar");
    ExpectNear(G.pixel(325, 40), Shaded, Shaded, Shaded, "just right of the bar");
    const auto Red = [](int Below) { return 0xFF * 0x3F / 255 + Below * (255 - 0x3F) / 255; };
    const auto Rest = [](int Below) { return Below * (255 - 0x3F) / 255; };
    ExpectNear(G.pixel(317, 40), Red(127), Rest(127), Rest(127), "bar over the picture");
    ExpectNear(G.pixel(322, 40), Red(Shaded), Rest(Shaded), Rest(Shaded), "bar over the shade");
    // The right bar around the band's last pixel, 479: 474 .. 483.
    EXPECT_EQ(G.pixel(474, 40), 0xFF000000u);
    EXPECT_EQ(G.pixel(483, 40), 0xFF000000u);
    ExpectNear(G.pixel(481, 40), Red(127), Rest(127), Rest(127), "right bar");

    // The dashed frame runs down the band's edges below the bars: white, white, black, black.
    int Runs = 0;
    QRgb Last = 0;
    for (int Y = 69; Y < ControlHeight; ++Y) {
        const QRgb C = G.pixel(320, Y);
        EXPECT_TRUE(C == 0xFFFFFFFFu || C == 0xFF000000u) << Y;
        Runs += C != Last;
        Last = C;
    }
    EXPECT_GE(Runs, 5); // 11 pixels in runs of two
    EXPECT_LE(Runs, 6);
}

TEST(SelectionLayers, RemovingTheChildDetachesItFromTheBand)
{
    PictureWithBand P;
    auto Taken = P.Image.RemoveLayer(P.Selected);
    ASSERT_EQ(Taken.get(), P.Selected);
    EXPECT_EQ(P.Band->ChildLayer(), nullptr);
    P.SetColumns(100, 200); // would write into the removed layer if still attached
    EXPECT_DOUBLE_EQ(dynamic_cast<TPositionedLayer &>(*Taken).GetAdjustedLocation().Right, 640);
    // The band is on top; putting it back and to the front keeps the order.
    P.Image.AddLayer(std::move(Taken));
    P.Band->BringToFront();
    EXPECT_EQ(P.Image.Layers().back().get(), P.Band);
}

TEST(ColumnsAndFrames, StartScaledByNinetyNineHundredthsEndExact)
{
    EXPECT_EQ(PlayStartFrame(1000000, 0, 1920), 0);
    EXPECT_EQ(PlayEndFrame(1000000, 1920, 1920), 1000000);
    EXPECT_EQ(PlayStartFrame(1000000, 960, 1920), 495000);
    EXPECT_EQ(PlayEndFrame(1000000, 960, 1920), 500000);
    // 441000 frames, column 1: 441000 × 0.99 / 1920 = 227.39 → 227; end 229.6875 → 230.
    EXPECT_EQ(PlayStartFrame(441000, 1, 1920), 227);
    EXPECT_EQ(PlayEndFrame(441000, 1, 1920), 230);
    // Halves round to even: 1.5 and 2.5 both give 2.
    EXPECT_EQ(PlayEndFrame(3, 960, 1920), 2);
    EXPECT_EQ(PlayEndFrame(5, 960, 1920), 2);
    EXPECT_EQ(RoundHalfEven(2.5L), 2);
    EXPECT_EQ(RoundHalfEven(3.5L), 4);
    EXPECT_EQ(RoundHalfEven(-2.5L), -2);
    EXPECT_EQ(PlayEndFrame(1000000, 1920, 0), 0); // no picture yet: no division by zero
}

TEST(ColumnsAndFrames, ClickColumnSeekFrameAndPlaybackPosition)
{
    EXPECT_EQ(ClickColumn(320, 1920, 640), 960);
    EXPECT_EQ(ClickColumn(639, 1920, 640), 1917);
    EXPECT_EQ(ClickColumn(100, 1920, 654), 293); // 192000 div 654
    EXPECT_EQ(ClickColumn(5, 1920, 0), 0);
    EXPECT_EQ(ClickSeekFrame(1000000, 960, 0, 1920), 500000);
    EXPECT_EQ(ClickSeekFrame(1000000, 0, 0, 1920), 0);
    EXPECT_EQ(ClickSeekFrame(1, 960, 0, 1920), 0);  // 0.5 → 0
    EXPECT_EQ(ClickSeekFrame(3, 960, 0, 1920), 2);  // 1.5 → 2
    EXPECT_EQ(ClickSeekFrame(1000000, 5, 5, 5), 0); // empty stretch

    // A quarter of 1 000 000 frames of 4 bytes played over 0..1920 is column 480; over
    // 960..1920 it is 1200.
    EXPECT_DOUBLE_EQ(static_cast<double>(PlaybackColumn(1000000, 1000000, 4, 0, 1920)), 480.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(PlaybackColumn(1000000, 1000000, 4, 960, 1920)), 1200.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(PlaybackColumn(1000000, 0, 4, 960, 1920)), 960.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(PlaybackColumn(1000000, 1000000, 0, 960, 1920)), 960.0);
}
