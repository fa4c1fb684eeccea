// The selection band in the trimmer's window, driven with real mouse events on the offscreen
// window: the bars set the selection (and, while nothing plays, the played stretch), the marker
// buttons move the ends to the playback position, a click on the picture seeks during a
// whole-file playback only, and the shade and bars show in the window's picture.
#include "TrimTestSupport.h"

#include "AuMp3In.h"
#include "AuSoundOut.h"

#include <QTest>
#include <QToolButton>

namespace {

struct BandFiles {
    testsupport::TempDir dir;
    QString tone;
    BandFiles()
    {
        tone = QString::fromStdString((dir / "tone8.mp3").string());
        EXPECT_TRUE(toneMp3(tone, 8.0));
    }
};

BandFiles &files()
{
    static BandFiles *f = new BandFiles;
    return *f;
}

// The window on the test file, shown offscreen at its first size.
struct Window {
    TrimEnv env;
    TForm1 f{QStringList{files().tone}};
    Window()
    {
        f.show();
        QCoreApplication::processEvents();
    }
    ~Window()
    {
        f.DXAudioOut1->Stop(false);
        SetScreenCursor(Qt::ArrowCursor);
    }
    // The control pixel of a picture column.
    int px(double Column) const { return static_cast<int>(std::lround(Column * f.Image1->width() / 1920.0)); }
    int mid() const { return f.Image1->height() / 2; }
    void drag(int FromX, int ToX)
    {
        const QPoint From(FromX, mid()), To(ToX, mid());
        QTest::mouseMove(f.Image1, From);
        QTest::mousePress(f.Image1, Qt::LeftButton, {}, From);
        QTest::mouseMove(f.Image1, QPoint((FromX + ToX) / 2, mid()));
        QTest::mouseMove(f.Image1, To);
        QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, To);
    }
    void click(int X)
    {
        QTest::mouseMove(f.Image1, QPoint(X, mid()));
        QTest::mouseClick(f.Image1, Qt::LeftButton, {}, QPoint(X, mid()));
    }
    bool play()
    {
        f.btnPlay->click();
        return spinUntil([&] { return f.DXAudioOut1->Status() == tosPlaying && f.MP3In1->Position() > 0; });
    }
    bool pause()
    {
        f.btnPause->click();
        return spinUntil([&] { return f.DXAudioOut1->Status() == tosPaused; });
    }
    std::int64_t frame() const { return f.MP3In1->Position() / std::max(f.FrameBytes, 1); }
};

} // namespace

TEST(TrimBand, TheBarsSetTheSelectionWithinThePictureAndKeepTheirDistance)
{
    Window w;
    ASSERT_EQ(w.f.FrameBytes, 4);
    ASSERT_NE(w.f.RBLayer, nullptr);
    EXPECT_EQ(w.f.Selection()->Tag, 2);
    EXPECT_EQ(w.f.RBLayer->ChildLayer(), w.f.Selection());
    EXPECT_EQ(w.f.RBLayer->HandleSize, 5);
    EXPECT_EQ(w.f.RBLayer->HandleFill, 0x3FFF0000u);
    EXPECT_EQ(w.f.BandLocation(), (TFloatRect{0, -39, 1920, 121}));

    // The left bar (at the picture's left edge) to the middle: selection and played stretch.
    w.drag(1, w.px(960) + 1);
    EXPECT_NEAR(static_cast<double>(w.f.SelStart), 960, 3);
    EXPECT_EQ(w.f.PlayStart, w.f.SelStart);
    EXPECT_EQ(w.f.SelEnd, 1920);
    EXPECT_EQ(w.f.Selection()->Location(), w.f.BandLocation());

    // Past the right bar: 15 columns before it; left of the picture: 0.
    w.drag(w.px(w.f.SelStart) + 1, w.f.Image1->width() + 40);
    EXPECT_EQ(w.f.SelStart, 1905);
    EXPECT_EQ(w.f.PlayStart, 1905);
    // (Where the bars overlap the right one is taken: grab the left one from its left side.)
    w.drag(w.px(1905) - 5, -80);
    EXPECT_EQ(w.f.SelStart, 0);

    // The right bar beyond the picture stops at 1920; past the left one 15 columns after it.
    w.drag(w.f.Image1->width() - 2, w.px(700));
    EXPECT_NEAR(static_cast<double>(w.f.SelEnd), 700, 8);
    w.drag(w.px(w.f.SelEnd) - 1, w.f.Image1->width() + 100);
    EXPECT_EQ(w.f.SelEnd, 1920);
    EXPECT_EQ(w.f.PlayEnd, 1920);

    // Dragging inside the band moves nothing.
    const TFloatRect before = w.f.BandLocation();
    w.drag(w.px(800), w.px(1200));
    EXPECT_EQ(w.f.BandLocation(), before);
    EXPECT_EQ(w.f.SelStart, 0);
    EXPECT_EQ(w.f.SelEnd, 1920);

    // Opening a file again resets the band to the whole width.
    w.drag(1, w.px(500));
    ASSERT_GT(w.f.SelStart, 400);
    w.env.answer = files().tone;
    w.f.Button1Click();
    EXPECT_EQ(w.f.BandLocation(), (TFloatRect{0, -39, 1920, 121}));
    EXPECT_EQ(w.f.SelStart, 0);
    EXPECT_EQ(w.f.PlayStart, 0);
}

TEST(TrimBand, DeselectingHidesTheBandAndSelectingAgainPutsItBackOnTop)
{
    Window w;
    MyTPositionedLayer *layer = w.f.Selection();
    myTRubberbandLayer *band = w.f.RBLayer;
    w.f.SetSelection(nullptr);
    EXPECT_EQ(w.f.Selection(), nullptr);
    EXPECT_EQ(band->ChildLayer(), nullptr);
    EXPECT_EQ(band->LayerOptions(), unsigned(loNoUpdate)); // invisible and deaf to the mouse
    // Without the band a drag on the bar's place moves nothing.
    w.drag(1, w.px(600));
    EXPECT_EQ(w.f.SelStart, 0);

    // A press on the selected layer selects it again: the same band, on top, with the layer.
    QTest::mouseClick(w.f.Image1, Qt::LeftButton, {}, QPoint(w.px(900), w.mid()));
    EXPECT_EQ(w.f.Selection(), layer);
    EXPECT_EQ(w.f.RBLayer, band);
    EXPECT_EQ(band->ChildLayer(), layer);
    EXPECT_EQ(band->LayerOptions(), unsigned(loVisible | loMouseEvents | loNoUpdate));
    EXPECT_EQ(w.f.Image1->Layers().back().get(), band);
    w.drag(1, w.px(600));
    EXPECT_NEAR(static_cast<double>(w.f.SelStart), 600, 4);
}

TEST(TrimBand, PointerShapesOverTheBarsAndInsideTheBand)
{
    Window w;
    w.f.SetBandLocation({480, -39, 1440, 121});
    const int y = w.mid();
    QTest::mouseMove(w.f.Image1, QPoint(w.px(480), y));
    EXPECT_EQ(ScreenCursor(), Qt::SizeHorCursor);
    QTest::mouseMove(w.f.Image1, QPoint(w.px(960), y));
    EXPECT_EQ(ScreenCursor(), Qt::ArrowCursor);
    QTest::mouseMove(w.f.Image1, QPoint(w.px(1440) - 1, y + 25));
    EXPECT_EQ(ScreenCursor(), Qt::SizeHorCursor);
    // Below the bar's 60 pixels there is no handle: the band's own pointer.
    QTest::mouseMove(w.f.Image1, QPoint(w.px(1440) - 1, y + 39));
    EXPECT_EQ(ScreenCursor(), Qt::ArrowCursor);
    // Outside the band (left of it) nothing is under the mouse.
    QTest::mouseMove(w.f.Image1, QPoint(w.px(480), y));
    EXPECT_EQ(ScreenCursor(), Qt::SizeHorCursor);
    QTest::mouseMove(w.f.Image1, QPoint(w.px(100), y));
    EXPECT_EQ(ScreenCursor(), Qt::ArrowCursor);
}

TEST(TrimBand, WhilePlayingTheBarsMoveTheSelectionOnlyUntilThePlaybackEnds)
{
    Window w;
    ASSERT_TRUE(w.play());
    EXPECT_FALSE(w.f.btnPlay->isEnabled());
    EXPECT_TRUE(w.f.btnSetRight->isEnabled());
    w.drag(1, w.px(600));
    EXPECT_NEAR(static_cast<double>(w.f.SelStart), 600, 4);
    EXPECT_EQ(w.f.PlayStart, 0);
    ASSERT_TRUE(w.pause());
    w.drag(w.f.Image1->width() - 2, w.px(1500));
    EXPECT_NEAR(static_cast<double>(w.f.SelEnd), 1500, 8);
    EXPECT_EQ(w.f.PlayEnd, 1920);

    w.f.btnPause->click(); // resume
    w.f.btnStop->click();
    ASSERT_TRUE(spinUntil([&] { return w.f.DXAudioOut1->Status() == tosIdle; }));
    EXPECT_EQ(w.f.PlayStart, w.f.SelStart);
    EXPECT_EQ(w.f.PlayEnd, w.f.SelEnd);
}

TEST(TrimBand, MarkersMoveToThePlaybackPositionAndWaitWhileNothingPlays)
{
    Window w;
    // Pressed while stopped: nothing moves until a playback draws its first picture.
    w.f.btnSetLeftClick();
    EXPECT_EQ(w.f.EndMarkPending, 1);
    EXPECT_EQ(w.f.SelEnd, 1920);
    EXPECT_EQ(w.f.BandLocation().Right, 1920);

    ASSERT_TRUE(w.play());
    ASSERT_TRUE(spinUntil([&] { return w.f.EndMarkPending == 0; }, 3000));
    // The end landed at the playback position of that first redraw: near the start.
    EXPECT_LT(w.f.SelEnd, 200);
    EXPECT_EQ(w.f.BandLocation().Right, static_cast<double>(w.f.SelEnd));
    EXPECT_EQ(w.f.PlayEnd, 1920); // the playback keeps its stretch

    // Paused at the middle of the whole-file playback, the start marker lands on column 960.
    ASSERT_TRUE(w.pause());
    ASSERT_TRUE(w.f.MP3In1->Seek(w.f.MP3In1->TotalSamples() / 2));
    w.f.btnSetRight->click();
    EXPECT_EQ(w.f.StartMarkPending, 0);
    EXPECT_GE(w.f.SelStart, 960);
    EXPECT_LE(w.f.SelStart, 961);
    // The band's left edge goes no further right than its right edge.
    EXPECT_EQ(w.f.BandLocation().Left, static_cast<double>(w.f.SelEnd));

    // The end marker at the same place: the right edge at the column, no left of the start.
    w.f.btnSetLeft->click();
    EXPECT_EQ(w.f.EndMarkPending, 0);
    EXPECT_EQ(w.f.SelEnd, w.f.SelStart);
    EXPECT_EQ(w.f.BandLocation().Right, static_cast<double>(w.f.SelStart));
    // The played part is green up to the position, grey after it.
    const QImage &bm = w.f.Image1->Bitmap;
    EXPECT_EQ(bm.pixel(900, 41), 0xFF00FF00u);
    EXPECT_EQ(bm.pixel(1000, 41), 0xFF7F7F7Fu);
}

TEST(TrimBand, ClickSeeksOnlyDuringAWholeFilePlayback)
{
    Window w;
    const std::int64_t total = w.f.MP3In1->TotalSamples();
    // Stopped: a click does nothing.
    const std::int64_t idle = w.f.MP3In1->Position();
    w.click(w.px(1500));
    EXPECT_EQ(w.f.MP3In1->Position(), idle);

    ASSERT_TRUE(w.play());
    const int x = w.px(1500);
    const int column = ClickColumn(x, 1920, w.f.Image1->width());
    const std::int64_t n = ClickSeekFrame(total, column, 0, 1920);
    w.click(x);
    // At frame n, and at most the click's own 100 ms wait (and a buffer) of playing after it.
    EXPECT_GE(w.frame(), n);
    EXPECT_LT(w.frame(), n + 44100);

    // Paused: nothing.
    ASSERT_TRUE(w.pause());
    const std::int64_t paused = w.f.MP3In1->Position();
    w.click(w.px(300));
    EXPECT_EQ(w.f.MP3In1->Position(), paused);
    w.f.btnPause->click();
    w.f.btnStop->click();
    ASSERT_TRUE(spinUntil([&] { return w.f.DXAudioOut1->Status() == tosIdle; }));

    // A partial playback only redraws: the position stays near its start.
    w.drag(1, w.px(480));
    ASSERT_GT(w.f.PlayStart, 400);
    ASSERT_TRUE(w.play());
    w.click(w.px(1700));
    EXPECT_LT(w.frame(), 44100);

    // Over a bar the click belongs to the band, not to the playback.
    w.f.btnStop->click();
    ASSERT_TRUE(spinUntil([&] { return w.f.DXAudioOut1->Status() == tosIdle; }));
    w.drag(w.px(w.f.SelStart) + 1, 0);
    ASSERT_EQ(w.f.PlayStart, 0);
    ASSERT_TRUE(w.play());
    const std::int64_t before = w.frame();
    w.click(w.px(1920) - 2);
    EXPECT_LT(w.frame(), before + 44100);
}

TEST(TrimBand, TheWindowShowsTheShadeOverTheSelectionAndTheBars)
{
    Window w;
    w.f.SetBandLocation({480, -39, 1440, 121});
    QCoreApplication::processEvents();
    const QImage g = w.f.Image1->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    screenshot(w.f, QStringLiteral("trimmer-band"));
    // The middle row of the tone is grey across; inside the band black at alpha 1F over it.
    const int y = 40;
    const int shaded = 127 * (255 - 0x1F) / 255;
    EXPECT_NEAR(qRed(g.pixel(w.px(300), y)), 127, 1);
    EXPECT_NEAR(qRed(g.pixel(w.px(960), y)), shaded, 1);
    EXPECT_NEAR(qGreen(g.pixel(w.px(960), y)), shaded, 1);
    EXPECT_NEAR(qRed(g.pixel(w.px(1700), y)), 127, 1);
    // The left bar: 10 pixels wide around the edge, 60 pixels tall around the band's middle
    // height, outlined black, filled translucent red.
    const TFloatRect a = w.f.RBLayer->GetAdjustedLocation();
    const int edge = static_cast<int>(RoundHalfEven(a.Left));
    const int cy = (static_cast<int>(RoundHalfEven(a.Top)) + static_cast<int>(RoundHalfEven(a.Bottom)) - 1) / 2;
    EXPECT_EQ(g.pixel(edge - 5, cy), 0xFF000000u);
    EXPECT_EQ(g.pixel(edge + 4, cy), 0xFF000000u);
    EXPECT_EQ(g.pixel(edge - 2, cy - 30), 0xFF000000u);
    EXPECT_EQ(g.pixel(edge - 2, cy + 29), 0xFF000000u);
    EXPECT_GT(qRed(g.pixel(edge - 2, cy)), qGreen(g.pixel(edge - 2, cy)) + 40);
}
