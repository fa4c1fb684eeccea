// The scrolling marquee control: what it displays tick by tick (checked on the pixels of its
// back buffer and of the widget), item changes, owner-drawn and HTML items, mouse and links,
// the real timer thread, and the recorder's marquee on the Radio page.
#include "MarqueeTestKit.h"
#include "RecorderTestSupport.h"
#include "ScrollingMarquee.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QThread>

namespace {

const QColor kBack(0, 0, 0);
const QColor kInk(255, 255, 255);

// A shown marquee on a black background with white text, ticked by hand.
struct Bench {
    explicit Bench(QSize size)
    {
        testApp();
        w = std::make_unique<TScrollingMarquee>();
        auto t = std::make_unique<ManualTimer>();
        timer = t.get();
        w->SetTimer(std::move(t));
        w->SetColor(kBack);
        w->SetFontColor(kInk);
        w->resize(size);
        w->show();
        QCoreApplication::processEvents();
    }
    TMarqueeItem *add(const QString &text, TMarqueeStyle style = msText)
    {
        TMarqueeItem *item = w->Items()->Add();
        item->SetStyle(style);
        item->SetText(text);
        return item;
    }
    std::unique_ptr<TScrollingMarquee> w;
    ManualTimer *timer = nullptr;
};

// First and last column (or row) holding a pixel that is not background; {-1, -1} when none.
std::pair<int, int> ink(const QImage &img, bool rows = false, QColor back = kBack)
{
    const auto isBack = [&](QRgb c) {
        return std::abs(qRed(c) - back.red()) < 40 && std::abs(qGreen(c) - back.green()) < 40 &&
               std::abs(qBlue(c) - back.blue()) < 40;
    };
    int first = -1, last = -1;
    const int n = rows ? img.height() : img.width(), m = rows ? img.width() : img.height();
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < m; ++b)
            if (!isBack(rows ? img.pixel(b, a) : img.pixel(a, b))) {
                if (first < 0)
                    first = a;
                last = a;
                break;
            }
    return {first, last};
}

// The marquee's display after a full redraw of its current state.
QImage fullRedraw(TScrollingMarquee &w)
{
    w.Invalidate();
    return w.DisplayImage();
}

TEST(ScrollingMarquee, NewControlIsSmallInactiveAndEmpty)
{
    testApp();
    TScrollingMarquee w;
    EXPECT_EQ(w.size(), QSize(200, 20));
    EXPECT_FALSE(w.Active());
    EXPECT_EQ(w.Items()->Count(), 0);
    EXPECT_EQ(w.VisibleCount(), 0);
}

// The recorder's settings: the text enters at the right edge, moves a pixel per tick, and the
// next copy starts only when the previous one is a full width plus its own width on.
TEST(ScrollingMarquee, TextEntersAtTheRightAndTheNextCopyFollowsAFullWidthBehind)
{
    Bench b(QSize(300, 20));
    TMarqueeItem *item = b.add(QStringLiteral("Station not connected."));
    b.w->SetActive(true);
    const int width = item->Size().width();
    ASSERT_GT(width, 60);
    ASSERT_EQ(b.timer->Fire(100), 100);
    const QImage after100 = b.w->DisplayImage();
    const auto [first, last] = ink(after100);
    EXPECT_GE(first, 200);
    EXPECT_LE(first, 200 + QFontMetrics(b.w->font()).averageCharWidth() + 2);
    EXPECT_EQ(last, 299); // the text runs on past the right edge
    // Scrolled strip by strip, the display equals a full redraw.
    EXPECT_EQ(after100, fullRedraw(*b.w));
    // Ten ticks later the same pixels sit ten columns further left.
    b.timer->Fire(10);
    const QImage after110 = b.w->DisplayImage();
    EXPECT_EQ(after110.copy(0, 0, 290, 20), after100.copy(10, 0, 290, 20));
    // The window thread shows the buffer.
    QCoreApplication::processEvents();
    EXPECT_EQ(b.w->grab().toImage().convertToFormat(QImage::Format_RGB32), after110);

    // Tick 300 + width: the copy has gone and the next starts at the right edge.
    b.timer->Fire(300 + width - 110);
    EXPECT_EQ(ink(b.w->DisplayImage()).first, -1);
    EXPECT_EQ(b.w->LoopCount(), 1u);
    b.timer->Fire(100);
    EXPECT_EQ(b.w->DisplayImage(), after100);
    EXPECT_TRUE(b.w->Active());
}

TEST(ScrollingMarquee, OneLoopOfThreeItemsStopsByItselfWithOneWrap)
{
    Bench b(QSize(100, 20));
    b.w->SetNumLoops(1);
    b.w->SetSpacing(30);
    int wraps = 0;
    QThread *wrapThread = nullptr;
    b.w->OnWrap = [&](TScrollingMarquee *) {
        ++wraps;
        wrapThread = QThread::currentThread();
    };
    b.w->Items()->LoadFromStrings({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}, msText);
    b.w->SetActive(true);
    int ticks = 0;
    bool sawAllThree = false;
    while (b.timer->Fire()) {
        ++ticks;
        sawAllThree = sawAllThree || b.w->VisibleCount() == 3;
        ASSERT_LT(ticks, 100000);
    }
    EXPECT_FALSE(b.w->Active());
    EXPECT_EQ(b.w->VisibleCount(), 0);
    EXPECT_EQ(ink(b.w->DisplayImage()).first, -1);
    int widths = 0;
    for (int i = 0; i < 3; ++i)
        widths += b.w->Items()->GetItems(i)->Size().width();
    // The last item enters after the first two and their gaps, then crosses the control.
    EXPECT_EQ(ticks, widths + 2 * 30 + 100);
    EXPECT_EQ(wraps, 0); // delivered on the window thread, not inside the tick
    QCoreApplication::processEvents();
    EXPECT_EQ(wraps, 1);
    EXPECT_EQ(wrapThread, QThread::currentThread());
    QStringList saved;
    b.w->Items()->SaveToStrings(saved);
    EXPECT_EQ(saved, QStringList({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}));
}

TEST(ScrollingMarquee, ChangingAShowingItemRedrawsItAndAHiddenOneLeavesTheDisplay)
{
    Bench b(QSize(200, 20));
    TMarqueeItem *first = b.add(QStringLiteral("first"));
    TMarqueeItem *second = b.add(QStringLiteral("second"));
    b.w->SetActive(true);
    b.timer->Fire(120);
    ASSERT_TRUE(first->Showing());
    ASSERT_FALSE(second->Showing());
    const QImage before = b.w->DisplayImage();
    const QSize secondSize = second->Size();

    second->SetText(QStringLiteral("a much longer second text"));
    EXPECT_GT(second->Size().width(), secondSize.width()); // rendered again
    EXPECT_EQ(b.w->DisplayImage(), before);
    EXPECT_EQ(b.w->VisibleCount(), 1);

    const int oldWidth = ink(before).second - ink(before).first;
    first->SetText(QStringLiteral("first, now with more words"));
    const QImage after = b.w->DisplayImage();
    EXPECT_EQ(ink(after).first, ink(before).first); // same place, new picture
    EXPECT_GT(ink(after).second - ink(after).first, oldWidth);
    b.timer->Fire(3);
    EXPECT_EQ(b.w->DisplayImage(), fullRedraw(*b.w));
}

TEST(ScrollingMarquee, OrientationClearsTheItemsAndVerticalScrollsUpwards)
{
    Bench b(QSize(60, 80));
    b.add(QStringLiteral("x"));
    b.w->SetActive(true);
    b.timer->Fire(10);
    b.w->SetOrientation(moVertical);
    EXPECT_EQ(b.w->Items()->Count(), 0);
    EXPECT_EQ(b.w->VisibleCount(), 0);
    EXPECT_EQ(ink(b.w->DisplayImage()).first, -1);
    EXPECT_FALSE(b.w->TimerPending());

    b.add(QStringLiteral("up"));
    EXPECT_TRUE(b.w->TimerPending());
    b.timer->Fire(30);
    const QImage img = b.w->DisplayImage();
    const auto rows = ink(img, true);
    EXPECT_GE(rows.first, 50);
    EXPECT_LE(rows.second, 79);
    const auto cols = ink(img);
    // Centred across the width.
    EXPECT_NEAR((cols.first + cols.second) / 2.0, 30.0, 4.0);
    b.timer->Fire(5);
    EXPECT_EQ(b.w->DisplayImage(), fullRedraw(*b.w));
}

TEST(ScrollingMarquee, RightToLeftEntersAtTheLeftEdge)
{
    Bench b(QSize(200, 20));
    b.w->setLayoutDirection(Qt::RightToLeft);
    b.add(QStringLiteral("mirrored text"));
    b.w->SetActive(true);
    b.timer->Fire(40);
    const auto cols = ink(b.w->DisplayImage());
    EXPECT_EQ(cols.first, 0);
    EXPECT_LT(cols.second, 40);
    b.timer->Fire(7);
    EXPECT_EQ(b.w->DisplayImage(), fullRedraw(*b.w));
}

TEST(ScrollingMarquee, OwnerDrawnItemsTakeThePictureAndAlignment)
{
    Bench b(QSize(100, 20));
    const QRgb red = qRgb(255, 0, 0);
    int calls = 0;
    b.w->OnDrawItem = [&](TScrollingMarquee *, TMarqueeItem *, QImage &bitmap) {
        ++calls;
        EXPECT_TRUE(bitmap.isNull());
        bitmap = QImage(10, 6, QImage::Format_RGB32);
        bitmap.fill(red);
    };
    TMarqueeItem *item = b.add(QString(), msOwnerDraw);
    EXPECT_EQ(item->Size(), QSize(10, 6));
    b.w->SetActive(true);
    b.timer->Fire(20);
    QImage img = b.w->DisplayImage();
    for (int x = 0; x < 100; ++x)
        for (int y = 0; y < 20; ++y)
            ASSERT_EQ(img.pixel(x, y) == red, x >= 80 && x < 90 && y >= 7 && y < 13) << x << "," << y;
    item->SetAlignment(maRightOrBottom);
    img = b.w->DisplayImage();
    EXPECT_EQ(img.pixel(85, 19), red);
    EXPECT_NE(img.pixel(85, 13), red);
    EXPECT_GE(calls, 2);
}

TEST(ScrollingMarquee, HtmlLinksAreHitTestedAndClicked)
{
    Bench b(QSize(300, 24));
    b.w->SetStep(50);
    b.add(QStringLiteral("<b>go</b> <a href=\"http://127.0.0.1/page\">here</a> now"), msHTML);
    b.w->SetActive(true);
    b.timer->Fire(5); // the whole item is inside by now
    const QImage img = b.w->DisplayImage();
    const auto cols = ink(img);
    ASSERT_GE(cols.first, 0);

    int entered = 0, left = 0;
    b.w->OnMouseEnter = [&](TScrollingMarquee *) { ++entered; };
    b.w->OnMouseLeave = [&](TScrollingMarquee *) { ++left; };
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(b.w.get(), &enter);
    EXPECT_TRUE(b.w->MouseIsInside());
    EXPECT_EQ(entered, 1);

    int linkX = -1;
    for (int x = cols.first; x <= cols.second && linkX < 0; ++x) {
        QTest::mouseMove(b.w.get(), QPoint(x, 12));
        if (!b.w->ActiveLink().isEmpty())
            linkX = x;
    }
    ASSERT_GE(linkX, 0);
    EXPECT_EQ(b.w->ActiveLink(), QStringLiteral("http://127.0.0.1/page"));
    EXPECT_EQ(b.w->cursor().shape(), Qt::PointingHandCursor);

    QStringList links;
    b.w->OnLink = [&](TScrollingMarquee *, const QString &link) { links << link; };
    QTest::mouseClick(b.w.get(), Qt::LeftButton, {}, QPoint(linkX, 12));
    EXPECT_EQ(links, QStringList{QStringLiteral("http://127.0.0.1/page")});

    // Without a handler the link opens with the desktop.
    QList<QUrl> opened;
    ui::setUrlOpener([&](const QUrl &url) {
        opened << url;
        return true;
    });
    b.w->OnLink = nullptr;
    QTest::mouseClick(b.w.get(), Qt::LeftButton, {}, QPoint(linkX, 12));
    ui::setUrlOpener({});
    EXPECT_EQ(opened, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1/page"))});

    // Away from the link: no link, no click.
    QTest::mouseMove(b.w.get(), QPoint(cols.first, 12));
    EXPECT_TRUE(b.w->ActiveLink().isEmpty());

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(b.w.get(), &leave);
    EXPECT_FALSE(b.w->MouseIsInside());
    EXPECT_EQ(left, 1);
}

// The real timer thread: the text moves and wraps while the window thread only blits, and
// the control can be destroyed while scrolling.
TEST(ScrollingMarquee, ScrollsOnItsOwnThreadAndWrapsOnTheWindowThread)
{
    testApp();
    auto w = std::make_unique<TScrollingMarquee>();
    w->SetColor(kBack);
    w->SetFontColor(kInk);
    w->resize(40, 16);
    w->SetInterval(1);
    w->SetSpacing(0);
    w->SetLoopSpacing(0);
    int wraps = 0;
    bool onWindowThread = true;
    w->OnWrap = [&](TScrollingMarquee *) {
        ++wraps;
        onWindowThread = onWindowThread && QThread::currentThread() == testApp().thread();
    };
    w->Items()->Add()->SetText(QStringLiteral("ab"));
    w->show();
    w->SetActive(true);
    EXPECT_TRUE(waitUntil([&] { return wraps >= 3; }, 10000));
    EXPECT_TRUE(onWindowThread);
    EXPECT_GE(w->LoopCount(), 3u);
    w->hide(); // hidden: no more ticks
    EXPECT_FALSE(w->TimerPending());
    w->show();
    EXPECT_TRUE(w->TimerPending());
    w.reset();
    QCoreApplication::processEvents(); // queued calls of the destroyed control are dropped
}

TEST(RadioPageMarquee, ShowsStationNotConnectedScrollingAndTakesTheStationText)
{
    FormEnv env;
    TForm1 form;
    TScrollingMarquee *m = form.mrqstn;
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->objectName(), QStringLiteral("mrqstn"));
    ASSERT_EQ(m->Items()->Count(), 1);
    EXPECT_EQ(m->Items()->GetItems(0)->Text(), QStringLiteral("Station not connected."));
    EXPECT_TRUE(m->Active());
    EXPECT_EQ(m->Interval(), 10u);
    EXPECT_EQ(m->Step(), 1);
    EXPECT_EQ(m->Spacing(), 100);
    EXPECT_EQ(m->LoopSpacing(), 100);
    EXPECT_EQ(m->NumLoops(), 0u);
    EXPECT_EQ(m->Orientation(), moHorizontal);

    auto timer = std::make_unique<ManualTimer>();
    ManualTimer *t = timer.get();
    m->SetTimer(std::move(timer));
    form.show();
    QCoreApplication::processEvents();
    ASSERT_TRUE(m->TimerPending());
    t->Fire(m->width() / 2);
    QCoreApplication::processEvents();
    saveScreenshot(&form, QStringLiteral("radio_page_marquee"));
    const auto cols = ink(m->DisplayImage(), false, m->Color());
    EXPECT_NEAR(cols.first, m->width() / 2, 12);

    form.setMarqueeText(QStringLiteral("Jazz: Some Artist - Some Title"));
    EXPECT_EQ(m->Items()->GetItems(0)->Text(), QStringLiteral("Jazz: Some Artist - Some Title"));
    // Carries on from where it was.
    EXPECT_NEAR(ink(m->DisplayImage(), false, m->Color()).first, cols.first, 2);
    // and scrolls the new text on: 200 ticks move it 200 pixels to the left.
    t->Fire(200);
    QCoreApplication::processEvents();
    EXPECT_NEAR(ink(m->DisplayImage(), false, m->Color()).first, std::max(0, cols.first - 200), 2);
    saveScreenshot(&form, QStringLiteral("radio_page_marquee_title"));
}

} // namespace
