// The marquee control: its items, their rendering, the back buffer and the window side.
#include "ScrollingMarquee.h"

#include "UserMessages.h"
#include "WindowExposure.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTextDocument>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// An HTML item's document: pictures come from the marquee's cache, its OnImage handler or a
// file of that name.
class MarqueeDocument : public QTextDocument {
public:
    explicit MarqueeDocument(std::function<QImage(const QString &)> image) : image_(std::move(image)) {}

protected:
    QVariant loadResource(int type, const QUrl &name) override
    {
        if (type == QTextDocument::ImageResource) {
            const QImage picture = image_(name.toString());
            if (!picture.isNull())
                return picture;
        }
        return QTextDocument::loadResource(type, name);
    }

private:
    std::function<QImage(const QString &)> image_;
};

// What assistive tools see of the marquee: static text reading the text it scrolls.
class MarqueeAccessible : public QAccessibleWidget {
public:
    explicit MarqueeAccessible(TScrollingMarquee *marquee) : QAccessibleWidget(marquee, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override
    {
        auto *marquee = static_cast<TScrollingMarquee *>(widget());
        switch (t) {
        case QAccessible::Name:
            return marquee->ScrolledText();
        case QAccessible::Description:
            return marquee->accessibleName().isEmpty() ? QStringLiteral("Scrolling text") : marquee->accessibleName();
        default:
            return QAccessibleWidget::text(t);
        }
    }
};

QAccessibleInterface *marqueeAccessibleFactory(const QString &, QObject *object)
{
    if (auto *marquee = qobject_cast<TScrollingMarquee *>(object))
        return new MarqueeAccessible(marquee);
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------- TMarqueeItem

TMarqueeItem::TMarqueeItem(TMarqueeCollection *Collection) : collection_(Collection) {}

TMarqueeItem::~TMarqueeItem() = default;

QString TMarqueeItem::Text() const
{
    std::lock_guard lock(collection_->marquee_->CS);
    return fText;
}

void TMarqueeItem::SetText(const QString &Value)
{
    std::lock_guard lock(collection_->marquee_->CS);
    if (Value == fText && fPrepared)
        return;
    fText = Value;
    Changed();
}

TMarqueeStyle TMarqueeItem::Style() const
{
    std::lock_guard lock(collection_->marquee_->CS);
    return fStyle;
}

void TMarqueeItem::SetStyle(TMarqueeStyle Value)
{
    std::lock_guard lock(collection_->marquee_->CS);
    fStyle = Value;
    Changed();
}

TMarqueeAlignment TMarqueeItem::Alignment() const
{
    std::lock_guard lock(collection_->marquee_->CS);
    return fAlignment;
}

void TMarqueeItem::SetAlignment(TMarqueeAlignment Value)
{
    std::lock_guard lock(collection_->marquee_->CS);
    fAlignment = Value;
    Changed();
}

TScrollingMarquee *TMarqueeItem::Marquee() const
{
    return collection_->marquee_;
}

int TMarqueeItem::Index() const
{
    std::lock_guard lock(collection_->marquee_->CS);
    const auto &items = collection_->items_;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].get() == this)
            return int(i);
    return -1;
}

bool TMarqueeItem::Showing() const
{
    return collection_->marquee_->ItemShowing(Index());
}

QSize TMarqueeItem::Size() const
{
    std::lock_guard lock(collection_->marquee_->CS);
    return fSize;
}

bool TMarqueeItem::Prepared() const
{
    std::lock_guard lock(collection_->marquee_->CS);
    return fPrepared;
}

void TMarqueeItem::Changed()
{
    fPrepared = false;
    collection_->marquee_->ItemChanged(this);
}

// ---------------------------------------------------------------- TMarqueeCollection

TMarqueeCollection::TMarqueeCollection(TScrollingMarquee *Marquee) : marquee_(Marquee) {}

TMarqueeCollection::~TMarqueeCollection() = default;

int TMarqueeCollection::Count() const
{
    std::lock_guard lock(marquee_->CS);
    return int(items_.size());
}

TMarqueeItem *TMarqueeCollection::Add()
{
    return Insert(Count());
}

TMarqueeItem *TMarqueeCollection::Insert(int Index)
{
    std::lock_guard lock(marquee_->CS);
    Index = std::clamp(Index, 0, int(items_.size()));
    auto *item = new TMarqueeItem(this);
    items_.insert(items_.begin() + Index, std::unique_ptr<TMarqueeItem>(item));
    Changed();
    return item;
}

void TMarqueeCollection::Delete(int Index)
{
    std::lock_guard lock(marquee_->CS);
    if (Index < 0 || Index >= int(items_.size()))
        return;
    items_.erase(items_.begin() + Index);
    Changed();
}

void TMarqueeCollection::Clear()
{
    std::lock_guard lock(marquee_->CS);
    if (items_.empty())
        return;
    items_.clear();
    Changed();
}

TMarqueeItem *TMarqueeCollection::GetItems(int Index) const
{
    std::lock_guard lock(marquee_->CS);
    if (Index < 0 || Index >= int(items_.size()))
        return nullptr;
    return items_[std::size_t(Index)].get();
}

void TMarqueeCollection::BeginUpdate()
{
    marquee_->CS.lock();
    ++updateCount_;
}

void TMarqueeCollection::EndUpdate()
{
    if (--updateCount_ == 0 && changedInUpdate_) {
        changedInUpdate_ = false;
        marquee_->CollectionChanged();
    }
    marquee_->CS.unlock();
}

void TMarqueeCollection::LoadFromStrings(const QStringList &Strings, TMarqueeStyle TextStyle)
{
    BeginUpdate();
    Clear();
    for (const QString &line : Strings) {
        TMarqueeItem *item = Add();
        item->fText = line;
        item->fStyle = TextStyle;
    }
    EndUpdate();
}

void TMarqueeCollection::SaveToStrings(QStringList &Strings) const
{
    std::lock_guard lock(marquee_->CS);
    for (const auto &item : items_)
        Strings << item->fText;
}

void TMarqueeCollection::Changed()
{
    if (updateCount_ > 0) {
        changedInUpdate_ = true;
        return;
    }
    marquee_->CollectionChanged();
}

// ---------------------------------------------------------------- TScrollingMarquee

TScrollingMarquee::TScrollingMarquee(QWidget *parent)
    : QWidget(parent), fItems(std::make_unique<TMarqueeCollection>(this))
{
    setAttribute(Qt::WA_OpaquePaintEvent); // the paint covers every pixel: no erase, no flicker
    setMouseTracking(true);
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(marqueeAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    SetTimer(std::make_unique<TOneShotTimer>(TimerBatchMs));
    exposure_ = new WindowExposure(this);
    connect(exposure_, &WindowExposure::onScreenChanged, this, &TScrollingMarquee::OnScreenChanged);
    resize(200, 20);
    std::lock_guard lock(CS);
    CacheLook();
    clientSize_ = size();
    buffer_ = QImage(clientSize_, QImage::Format_RGB32);
    RecalcGaps();
}

TScrollingMarquee::~TScrollingMarquee()
{
    {
        std::lock_guard lock(CS);
        windowExists_ = false;
    }
    // No tick may run into the items or the buffer while they are destroyed.
    ShutDownTimer();
}

QColor TScrollingMarquee::Color() const
{
    return palette().color(QPalette::Window);
}

void TScrollingMarquee::SetColor(const QColor &Value)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, Value);
    setPalette(p); // reported through changeEvent
}

QColor TScrollingMarquee::FontColor() const
{
    return palette().color(QPalette::WindowText);
}

void TScrollingMarquee::SetFontColor(const QColor &Value)
{
    QPalette p = palette();
    p.setColor(QPalette::WindowText, Value);
    setPalette(p);
}

void TScrollingMarquee::Invalidate()
{
    std::lock_guard lock(CS);
    RequestRepaint();
}

QString TScrollingMarquee::ActiveLink() const
{
    return fActiveLink;
}

bool TScrollingMarquee::MouseIsInside() const
{
    return fMouseIsInside;
}

QImage TScrollingMarquee::DisplayImage()
{
    std::lock_guard lock(CS);
    if (repaintPending_)
        DrawBuffer(0, ClientExtent());
    return buffer_.copy();
}

QString TScrollingMarquee::ScrolledText() const
{
    QStringList Strings;
    fItems->SaveToStrings(Strings);
    return Strings.join(QStringLiteral("  "));
}

void TScrollingMarquee::TextChanged()
{
    if (QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void TScrollingMarquee::OnScreenChanged(bool OnScreen)
{
    std::lock_guard lock(CS);
    windowExists_ = OnScreen && isVisible();
    UpdateTimer();
}

void TScrollingMarquee::RenderItems()
{
    std::lock_guard lock(CS);
    PrepareAll();
    Relayout();
}

// ---- rendering the items (window thread, under the lock) ----

void TScrollingMarquee::CacheLook()
{
    background_ = palette().color(QPalette::Window);
    foreground_ = palette().color(QPalette::WindowText);
    rightToLeft_ = layoutDirection() == Qt::RightToLeft;
    enabled_ = isEnabled();
}

void TScrollingMarquee::PrepareItem(TMarqueeItem *Item)
{
    const QFontMetrics fm(font());
    const int avg = fm.averageCharWidth();
    const bool vertical = fOrientation == moVertical;
    Item->fLinks.reset();
    switch (Item->fStyle) {
    case msText: {
        int flags = Qt::TextExpandTabs;
        QRect measured;
        if (vertical) {
            const int align = Item->fAlignment == maLeftOrTop       ? Qt::AlignLeft
                              : Item->fAlignment == maRightOrBottom ? Qt::AlignRight
                                                                    : Qt::AlignHCenter;
            flags |= Qt::TextWordWrap | align;
            const int wrap = std::max(1, clientSize_.width() - avg);
            measured = fm.boundingRect(QRect(0, 0, wrap, INT_MAX / 2), flags, Item->fText);
        } else {
            flags |= Qt::TextSingleLine;
            measured = fm.boundingRect(QRect(0, 0, 0, 0), flags, Item->fText);
        }
        const int height = std::max(measured.height(), fm.height());
        Item->fSize = QSize(measured.width() + avg, height);
        Item->fBitmap = QImage(Item->fSize, QImage::Format_RGB32);
        Item->fBitmap.fill(background_);
        QPainter p(&Item->fBitmap);
        p.setFont(font());
        p.setPen(foreground_);
        p.drawText(QRect(avg / 2, 0, measured.width(), height), flags | Qt::AlignVCenter, Item->fText);
        break;
    }
    case msHTML: {
        auto doc = std::make_unique<MarqueeDocument>([this](const QString &name) {
            const QString key = name.toLower();
            auto cached = fImages.constFind(key);
            if (cached != fImages.constEnd())
                return *cached;
            QImage picture;
            if (OnImage)
                OnImage(this, name, picture);
            if (picture.isNull())
                picture.load(name);
            if (!picture.isNull())
                fImages.insert(key, picture);
            return picture;
        });
        doc->setDocumentMargin(0);
        doc->setDefaultFont(font());
        doc->setDefaultStyleSheet(QStringLiteral("body { color: %1; } a { color: %1; }").arg(foreground_.name()));
        doc->setHtml(Item->fText);
        if (vertical)
            doc->setTextWidth(std::max(1, clientSize_.width() - avg));
        const int width = int(std::ceil(vertical ? doc->size().width() : doc->idealWidth()));
        const int height = std::max(1, int(std::ceil(doc->size().height())));
        Item->fSize = QSize(width + avg, height);
        Item->fBitmap = QImage(Item->fSize, QImage::Format_RGB32);
        Item->fBitmap.fill(background_);
        QPainter p(&Item->fBitmap);
        p.translate(avg / 2, 0);
        QAbstractTextDocumentLayout::PaintContext context;
        context.palette.setColor(QPalette::Text, foreground_);
        doc->documentLayout()->draw(&p, context);
        p.end();
        Item->fLinks = std::move(doc);
        break;
    }
    case msOwnerDraw: {
        QImage bitmap;
        if (OnDrawItem)
            OnDrawItem(this, Item, bitmap);
        if (!bitmap.isNull() && bitmap.hasAlphaChannel()) {
            // Transparent parts show the control's colour.
            QImage opaque(bitmap.size(), QImage::Format_RGB32);
            opaque.fill(background_);
            QPainter p(&opaque);
            p.drawImage(0, 0, bitmap);
            p.end();
            bitmap = opaque;
        }
        // The ticks copy pixels as 32-bit RGB.
        if (!bitmap.isNull() && bitmap.format() != QImage::Format_RGB32)
            bitmap = bitmap.convertToFormat(QImage::Format_RGB32);
        Item->fBitmap = bitmap;
        Item->fSize = bitmap.size();
        break;
    }
    }
    Item->fPrepared = true;
}

void TScrollingMarquee::PrepareAll()
{
    for (const auto &item : fItems->items_)
        if (!item->fPrepared)
            PrepareItem(item.get());
}

void TScrollingMarquee::UnprepareAll()
{
    for (const auto &item : fItems->items_)
        item->fPrepared = false;
}

void TScrollingMarquee::ItemChanged(TMarqueeItem *Item)
{
    std::lock_guard lock(CS);
    if (fItems->updateCount_ > 0) {
        fItems->changedInUpdate_ = true;
        return;
    }
    PrepareItem(Item);
    // An item that is not showing is drawn at its new size when it enters; the display stays.
    if (Item->Showing())
        Relayout();
    TextChanged();
}

void TScrollingMarquee::CollectionChanged()
{
    std::lock_guard lock(CS);
    if (fItems->items_.empty()) {
        // Emptied: the next items start a fresh first loop.
        LoopsStarted = LoopsEnded = 0;
        OldestIndex = NewestIndex = 0;
        OldestOffset = NewestOffset = 0;
    }
    PrepareAll();
    Relayout();
    UpdateTimer();
    TextChanged();
}

// ---- geometry and the back buffer (under the lock; also on the timer thread) ----

QRect TScrollingMarquee::ItemRect(const TMarqueeItem *Item, int Position) const
{
    const QSize s = Item->fSize;
    const bool vertical = fOrientation == moVertical;
    const int across = vertical ? clientSize_.width() : clientSize_.height();
    const int itemAcross = vertical ? s.width() : s.height();
    int cross = 0;
    if (Item->fAlignment == maCenter)
        cross = (across - itemAcross) / 2; // truncated toward zero
    else if (Item->fAlignment == maRightOrBottom)
        cross = across - itemAcross;
    if (vertical)
        return QRect(cross, Position, s.width(), s.height());
    if (rightToLeft_)
        return QRect(clientSize_.width() - Position - s.width(), cross, s.width(), s.height());
    return QRect(Position, cross, s.width(), s.height());
}

QRect TScrollingMarquee::AreaRect(int Lo, int Hi) const
{
    if (fOrientation == moVertical)
        return QRect(0, Lo, clientSize_.width(), Hi - Lo);
    if (rightToLeft_)
        return QRect(clientSize_.width() - Hi, 0, Hi - Lo, clientSize_.height());
    return QRect(Lo, 0, Hi - Lo, clientSize_.height());
}

void TScrollingMarquee::DrawBuffer(int Lo, int Hi)
{
    if (buffer_.isNull())
        return;
    const QRect area = AreaRect(Lo, Hi) & buffer_.rect();
    if (area.isEmpty())
        return;
    if (Lo <= 0 && Hi >= ClientExtent()) {
        repaintPending_ = false;
        wholeSinceShown_ = true;
    }
    // Plain pixel copies (buffer and pictures are both 32-bit RGB): a tick draws a strip of a
    // pixel or two, where setting up a painter would cost more than the drawing.
    const quint32 fill = background_.rgb();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        auto *row = reinterpret_cast<quint32 *>(buffer_.scanLine(y));
        std::fill(row + area.left(), row + area.left() + area.width(), fill);
    }
    ForEachVisibleItem(Lo, Hi, [&](int index, int position) {
        const TMarqueeItem *item = fItems->items_[std::size_t(index)].get();
        if (item->fBitmap.isNull())
            return;
        const QRect at = ItemRect(item, position);
        const QRect part = at & area;
        if (part.isEmpty())
            return;
        const int fromX = part.left() - at.left();
        for (int y = part.top(); y <= part.bottom(); ++y)
            std::memcpy(buffer_.scanLine(y) + std::size_t(part.left()) * 4,
                        item->fBitmap.constScanLine(y - at.top()) + std::size_t(fromX) * 4,
                        std::size_t(part.width()) * 4);
    });
}

int TScrollingMarquee::ItemCount()
{
    return int(fItems->items_.size());
}

bool TScrollingMarquee::ItemPrepared(int Index)
{
    return fItems->items_[std::size_t(Index)]->fPrepared;
}

int TScrollingMarquee::ItemExtent(int Index)
{
    const QSize s = fItems->items_[std::size_t(Index)]->fSize;
    return fOrientation == moVertical ? s.height() : s.width();
}

int TScrollingMarquee::ClientExtent()
{
    return fOrientation == moVertical ? clientSize_.height() : clientSize_.width();
}

bool TScrollingMarquee::CanRun()
{
    return windowExists_;
}

bool TScrollingMarquee::RepaintPending()
{
    return repaintPending_;
}

void TScrollingMarquee::ScrollPixels(int Pixels)
{
    if (buffer_.isNull())
        return;
    const int w = buffer_.width(), h = buffer_.height();
    if (fOrientation == moVertical) {
        if (Pixels >= h)
            return;
        const qsizetype bpl = buffer_.bytesPerLine();
        uchar *bits = buffer_.bits();
        std::memmove(bits, bits + bpl * Pixels, std::size_t(bpl * (h - Pixels)));
        scrolledSinceShown_ += Pixels;
        return;
    }
    if (Pixels >= w)
        return;
    scrolledSinceShown_ += Pixels;
    const std::size_t move = std::size_t(w - Pixels) * 4;
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<quint32 *>(buffer_.scanLine(y));
        if (rightToLeft_)
            std::memmove(row + Pixels, row, move);
        else
            std::memmove(row, row + Pixels, move);
    }
}

void TScrollingMarquee::DrawArea(int Lo, int Hi)
{
    DrawBuffer(Lo, Hi);
    // One queued update at a time: a busy window thread does not collect a backlog.
    if (!updatePosted_.exchange(true))
        QMetaObject::invokeMethod(this, &TScrollingMarquee::ShowBuffer, Qt::QueuedConnection);
}

void TScrollingMarquee::ClearItems()
{
    fItems->items_.clear();
}

void TScrollingMarquee::RequestRepaint()
{
    repaintPending_ = true;
    if (!updatePosted_.exchange(true))
        QMetaObject::invokeMethod(this, &TScrollingMarquee::ShowBuffer, Qt::QueuedConnection);
}

bool TScrollingMarquee::WantsCursorUpdate()
{
    return fMouseIsInside && enabled_ && !buttonDown_;
}

void TScrollingMarquee::PostCursorUpdate()
{
    if (!cursorPosted_.exchange(true))
        QMetaObject::invokeMethod(
            this,
            [this] {
                cursorPosted_ = false;
                UpdateCursor();
            },
            Qt::QueuedConnection);
}

void TScrollingMarquee::PostWrap()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (OnWrap)
                OnWrap(this);
        },
        Qt::QueuedConnection);
}

// ---- window side ----

void TScrollingMarquee::TakeBuffer()
{
    if (shown_.size() == buffer_.size())
        std::memcpy(shown_.bits(), buffer_.constBits(), std::size_t(buffer_.sizeInBytes()));
    else
        shown_ = buffer_.copy();
    scrolledSinceShown_ = 0;
    wholeSinceShown_ = false;
}

void TScrollingMarquee::ShowBuffer()
{
    std::lock_guard lock(CS);
    updatePosted_ = false;
    if (repaintPending_)
        DrawBuffer(0, ClientExtent());
    const int pixels = scrolledSinceShown_;
    const bool whole = wholeSinceShown_ || shown_.size() != buffer_.size() || pixels <= 0 ||
                       pixels >= ClientExtent() || !isVisible();
    TakeBuffer();
    if (whole) {
        update();
        return;
    }
    // What is shown moves by the pixels the ticks scrolled (the window system moves them on its
    // side), and only the strip they uncovered is drawn, now, while the ticks wait for the lock.
    const QSize s = clientSize_;
    if (fOrientation == moVertical) {
        scroll(0, -pixels);
        repaint(QRect(0, s.height() - pixels, s.width(), pixels));
    } else if (rightToLeft_) {
        scroll(pixels, 0);
        repaint(QRect(0, 0, pixels, s.height()));
    } else {
        scroll(-pixels, 0);
        repaint(QRect(s.width() - pixels, 0, pixels, s.height()));
    }
}

void TScrollingMarquee::paintEvent(QPaintEvent *event)
{
    std::lock_guard lock(CS);
    if (repaintPending_ || shown_.size() != buffer_.size()) {
        if (repaintPending_)
            DrawBuffer(0, ClientExtent());
        TakeBuffer();
        // Everything shown must come from the same picture.
        if (event->rect() != rect())
            update();
    }
    QPainter p(this);
    p.drawImage(0, 0, shown_);
}

void TScrollingMarquee::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    std::lock_guard lock(CS);
    clientSize_ = size();
    buffer_ = QImage(clientSize_.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    shown_ = QImage();
    repaintPending_ = true;
    if (fOrientation == moVertical) {
        // Vertical items wrap at the client width.
        UnprepareAll();
        PrepareAll();
    }
    RecalcGaps();
    Relayout();
}

void TScrollingMarquee::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::PaletteChange:
    case QEvent::LayoutDirectionChange: {
        std::lock_guard lock(CS);
        CacheLook();
        UnprepareAll();
        PrepareAll();
        Relayout();
        break;
    }
    case QEvent::EnabledChange: {
        std::lock_guard lock(CS);
        enabled_ = isEnabled();
        break;
    }
    default:
        break;
    }
}

void TScrollingMarquee::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    std::lock_guard lock(CS);
    windowExists_ = exposure_->onScreen();
    UpdateTimer();
}

void TScrollingMarquee::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    std::lock_guard lock(CS);
    // Nothing to see: no ticks while hidden (another page is shown, the window is minimised,
    // unmapped or covered: OnScreenChanged); the scroll continues where it stood when seen again.
    windowExists_ = false;
    UpdateTimer();
}

void TScrollingMarquee::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    {
        std::lock_guard lock(CS);
        fMouseIsInside = true;
    }
    if (OnMouseEnter)
        OnMouseEnter(this);
}

void TScrollingMarquee::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    {
        std::lock_guard lock(CS);
        fMouseIsInside = false;
        fActiveLink.clear();
    }
    unsetCursor();
    if (OnMouseLeave)
        OnMouseLeave(this);
}

QString TScrollingMarquee::LinkAt(const QPoint &Pos)
{
    std::lock_guard lock(CS);
    QString link;
    const int avg = QFontMetrics(font()).averageCharWidth();
    ForEachVisibleItem(0, ClientExtent(), [&](int index, int position) {
        const TMarqueeItem *item = fItems->items_[std::size_t(index)].get();
        if (!link.isEmpty() || !item->fLinks)
            return;
        const QRect r = ItemRect(item, position);
        if (!r.contains(Pos))
            return;
        const QPointF local = QPointF(Pos - r.topLeft()) - QPointF(avg / 2, 0);
        link = item->fLinks->documentLayout()->anchorAt(local);
    });
    return link;
}

void TScrollingMarquee::UpdateCursor()
{
    if (!fMouseIsInside)
        return;
    const QString link = LinkAt(mapFromGlobal(QCursor::pos()));
    {
        std::lock_guard lock(CS);
        fActiveLink = link;
    }
    if (link.isEmpty())
        unsetCursor();
    else
        setCursor(Qt::PointingHandCursor);
}

void TScrollingMarquee::mouseMoveEvent(QMouseEvent *event)
{
    const QString link = LinkAt(event->position().toPoint());
    {
        std::lock_guard lock(CS);
        fMouseIsInside = true;
        fActiveLink = link;
    }
    if (link.isEmpty())
        unsetCursor();
    else
        setCursor(Qt::PointingHandCursor);
    QWidget::mouseMoveEvent(event);
}

void TScrollingMarquee::mousePressEvent(QMouseEvent *event)
{
    {
        std::lock_guard lock(CS);
        buttonDown_ = true;
    }
    QWidget::mousePressEvent(event);
}

void TScrollingMarquee::mouseReleaseEvent(QMouseEvent *event)
{
    QString link;
    {
        std::lock_guard lock(CS);
        buttonDown_ = false;
        link = fActiveLink;
    }
    QWidget::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || link.isEmpty())
        return;
    if (OnLink)
        OnLink(this, link);
    else
        ui::openUrl(QUrl(link));
}
