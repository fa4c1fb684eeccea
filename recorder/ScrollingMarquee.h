// TScrollingMarquee: a control that scrolls a ring of text items across its area, item after
// item, loop after loop, driven by a one-shot timer on a thread of its own.
//
// Threads. A Qt widget can only be painted on the window thread, so the control keeps a back
// buffer (an image the size of the client area) that holds what is displayed. The tick
// (TMarqueeEngine::TimerTick, on the timer thread) moves the offsets, scrolls the buffer's
// pixels and draws the uncovered strip into it, all under the control's lock, and then posts
// one queued update; the window thread's paint only copies the buffer to the screen. What the
// window thread must do after a tick (the wrap event, the cursor over a link) is posted to it as
// queued calls, so OnWrap, OnLink, OnImage, OnDrawItem, OnMouseEnter and OnMouseLeave all run on
// the window thread.
//
// Items are rendered once into their own images (on the window thread, when they are added or
// changed, or the font, colours, reading direction or, for vertical marquees, the size change);
// a tick only copies those images.
//
// The control scrolls only while it can be seen (WindowExposure.h): shown, and its window
// neither unmapped, minimised nor wholly covered; it goes on where it stood when seen again.
// After ticks the window thread moves what is shown by the pixels they scrolled (the window
// system moves them on its side) and draws only the strip they uncovered.
//
// Accessibility: the control reads as static text whose name is the text it scrolls (its items'
// texts in order), renewed when the items change.
//
// Every member of TScrollingMarquee, TMarqueeItem and TMarqueeCollection is for the window
// thread, and each takes the control's lock.
#pragma once

#include "MarqueeEngine.h"

#include <QColor>
#include <QHash>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QTextDocument;
class TMarqueeCollection;
class WindowExposure;
class TScrollingMarquee;

enum TMarqueeStyle { msText, msHTML, msOwnerDraw };
// Placement across the scroll direction.
enum TMarqueeAlignment { maCenter, maLeftOrTop, maRightOrBottom };

class TMarqueeItem {
public:
    ~TMarqueeItem();
    TMarqueeItem(const TMarqueeItem &) = delete;
    TMarqueeItem &operator=(const TMarqueeItem &) = delete;

    // Changing the text, the style or the alignment renders the item again; when the item is
    // showing, the visible items are laid out again.
    QString Text() const;
    void SetText(const QString &Value);
    TMarqueeStyle Style() const;
    void SetStyle(TMarqueeStyle Value);
    TMarqueeAlignment Alignment() const;
    void SetAlignment(TMarqueeAlignment Value);
    qintptr Tag() const { return fTag; }
    void SetTag(qintptr Value) { fTag = Value; }

    TScrollingMarquee *Marquee() const;
    int Index() const;
    // Among the visible items.
    bool Showing() const;
    // The rendered picture and its size (valid once prepared).
    QSize Size() const;
    bool Prepared() const;

private:
    friend class TMarqueeCollection;
    friend class TScrollingMarquee;
    explicit TMarqueeItem(TMarqueeCollection *Collection);
    void Changed();

    TMarqueeCollection *collection_;
    QString fText;
    TMarqueeAlignment fAlignment = maCenter;
    TMarqueeStyle fStyle = msText;
    bool fPrepared = false;
    QImage fBitmap;
    // The laid-out HTML of an msHTML item, kept for hit-testing its links.
    std::unique_ptr<QTextDocument> fLinks;
    QSize fSize;
    qintptr fTag = 0;
};

// The marquee's items, owned by it. Every change is reported to the marquee, which renders new
// items, lays the visible ones out again and starts or stops the timer.
class TMarqueeCollection {
public:
    explicit TMarqueeCollection(TScrollingMarquee *Marquee);
    ~TMarqueeCollection();
    TMarqueeCollection(const TMarqueeCollection &) = delete;
    TMarqueeCollection &operator=(const TMarqueeCollection &) = delete;

    int Count() const;
    TMarqueeItem *Add();
    // Inserts a new item before Index (Count appends).
    TMarqueeItem *Insert(int Index);
    void Delete(int Index);
    void Clear();
    TMarqueeItem *GetItems(int Index) const;
    // Defers the report of changes until the matching EndUpdate; holds the marquee's lock from
    // BeginUpdate to EndUpdate.
    void BeginUpdate();
    void EndUpdate();
    // Clears the collection and adds one item per line with the given style.
    void LoadFromStrings(const QStringList &Strings, TMarqueeStyle TextStyle);
    // Appends one line per item's text.
    void SaveToStrings(QStringList &Strings) const;

    TScrollingMarquee *Marquee() const { return marquee_; }

private:
    friend class TMarqueeItem;
    friend class TScrollingMarquee;
    void Changed();

    TScrollingMarquee *marquee_;
    std::vector<std::unique_ptr<TMarqueeItem>> items_;
    int updateCount_ = 0;
    bool changedInUpdate_ = false;
};

class TScrollingMarquee : public QWidget, public TMarqueeEngine {
    Q_OBJECT
    // Whether a scroll step is pending (the control is scrolling), for outside tools.
    Q_PROPERTY(bool scrolling READ TimerPending)
public:
    using TNotifyEvent = std::function<void(TScrollingMarquee *Sender)>;
    using TMarqueeLinkEvent = std::function<void(TScrollingMarquee *Sender, const QString &Link)>;
    // Asked for a picture an HTML item names; leave Image null to load it from a file of that name.
    using TMarqueeImageEvent = std::function<void(TScrollingMarquee *Sender, const QString &Name, QImage &Image)>;
    // Draws an owner-drawn item: Bitmap starts empty; its size becomes the item's size.
    using TMarqueeDrawItemEvent =
        std::function<void(TScrollingMarquee *Sender, TMarqueeItem *Item, QImage &Bitmap)>;

    // The control's timer serves the countdowns that fall due within this many ms in one
    // wake-up (TOneShotTimer): with the 10 ms interval the strip is drawn 25 times a second, four
    // one-pixel steps at a time, at the same 100 pixels a second. Each drawing wakes two threads
    // and makes a round to the X server, which costs far more than the pixels, so fewer and
    // larger steps keep an idle window under a hundredth of a core.
    static constexpr std::uint32_t TimerBatchMs = 30;

    // A new control is 200 x 20 pixels, inactive, with no items.
    explicit TScrollingMarquee(QWidget *parent = nullptr);
    ~TScrollingMarquee() override;

    TMarqueeCollection *Items() const { return fItems.get(); }

    // Background and text colour (the palette's Window and WindowText roles).
    QColor Color() const;
    void SetColor(const QColor &Value);
    QColor FontColor() const;
    void SetFontColor(const QColor &Value);

    TNotifyEvent OnWrap, OnMouseEnter, OnMouseLeave;
    TMarqueeLinkEvent OnLink;
    TMarqueeImageEvent OnImage;
    TMarqueeDrawItemEvent OnDrawItem;

    // Draws the whole display again.
    void Invalidate();
    // The link under the mouse ("" when none) and whether the mouse is inside.
    QString ActiveLink() const;
    bool MouseIsInside() const;
    // A copy of the back buffer, i.e. of what the control displays.
    QImage DisplayImage();
    // Renders every item that is not prepared, lays out and repaints; for owner-drawn items
    // whose picture the program changed.
    void RenderItems();
    // The text the control scrolls: its items' texts in order, separated by "  ".
    QString ScrolledText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

    // TMarqueeEngine hooks.
    int ItemCount() override;
    bool ItemPrepared(int Index) override;
    int ItemExtent(int Index) override;
    int ClientExtent() override;
    bool CanRun() override;
    bool RepaintPending() override;
    void ScrollPixels(int Pixels) override;
    void DrawArea(int Lo, int Hi) override;
    void ClearItems() override;
    void RequestRepaint() override;
    bool WantsCursorUpdate() override;
    void PostCursorUpdate() override;
    void PostWrap() override;

private:
    friend class TMarqueeItem;
    friend class TMarqueeCollection;
    void ItemChanged(TMarqueeItem *Item);
    void CollectionChanged();
    void PrepareItem(TMarqueeItem *Item);
    void PrepareAll();
    void UnprepareAll();
    void CacheLook();
    // Rectangle of an item at axis position Position.
    QRect ItemRect(const TMarqueeItem *Item, int Position) const;
    QRect AreaRect(int Lo, int Hi) const;
    // Draws the axis range into the back buffer (under the lock).
    void DrawBuffer(int Lo, int Hi);
    QString LinkAt(const QPoint &Pos);
    void UpdateCursor();
    void OnScreenChanged(bool OnScreen);
    // Window thread, after ticks: brings the window up to the buffer.
    void ShowBuffer();
    void TakeBuffer();
    void TextChanged();

    std::unique_ptr<TMarqueeCollection> fItems;
    QHash<QString, QImage> fImages; // pictures of HTML items by lower-case name
    QString fActiveLink;
    bool fMouseIsInside = false;

    // Cached on the window thread for the tick, which must not touch the widget.
    QSize clientSize_;
    QColor background_, foreground_;
    bool rightToLeft_ = false;
    bool enabled_ = true;
    bool windowExists_ = false; // shown and seen on the screen
    WindowExposure *exposure_ = nullptr;
    bool buttonDown_ = false;

    QImage buffer_;
    // What the window shows (a copy of the buffer taken when the window last caught up with the
    // ticks), the pixels the ticks scrolled since, and whether they drew it whole since.
    QImage shown_;
    int scrolledSinceShown_ = 0;
    bool wholeSinceShown_ = true;
    bool repaintPending_ = true;
    std::atomic<bool> updatePosted_{false};
    std::atomic<bool> cursorPosted_{false};
};
