#include "FontScaling.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QFont>
#include <QFontMetricsF>
#include <QLabel>
#include <QLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

// Text of the kind the windows show; wide and narrow letters, digits and a capital.
const QString kSample = QStringLiteral("DxOut Polling Interval mono/Stereo 09 Dec 2026 12:34:56");

int scaled(int v, double factor)
{
    return static_cast<int>(std::lround(v * factor));
}

// The size w's text needs, for the widgets whose text can be cut; an invalid size for others.
QSize textNeeds(QWidget *w)
{
    if (auto *label = qobject_cast<QLabel *>(w)) {
        if (label->text().isEmpty())
            return {};
        const QSize hint = label->sizeHint();
        return label->wordWrap() ? QSize(0, label->heightForWidth(label->width())).boundedTo(hint) : hint;
    }
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return button->text().isEmpty() ? QSize() : button->sizeHint();
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(w))
        return spin->sizeHint();
    return {};
}

QString textOf(QWidget *w)
{
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return button->text();
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(w))
        return spin->text();
    return {};
}

} // namespace

double fontGrowthFactor(const QFont &font)
{
    QFont design(font);
    design.setPixelSize(12);
    const QFontMetricsF now(font), then(design);
    double f = 1.0;
    if (then.height() > 0)
        f = std::max(f, now.height() / then.height());
    const double width = then.horizontalAdvance(kSample);
    if (width > 0)
        f = std::max(f, now.horizontalAdvance(kSample) / width);
    return f;
}

double fontGrowthFactor(QWidget *root)
{
    root->ensurePolished();
    double f = fontGrowthFactor(root->font());
    for (QWidget *w : root->findChildren<QWidget *>()) {
        w->ensurePolished();
        f = std::max(f, fontGrowthFactor(w->font()));
    }
    return f;
}

void scaleHandPlacedGeometry(QWidget *root, double factor)
{
    if (factor == 1.0)
        return;
    for (QWidget *w : root->findChildren<QWidget *>()) {
        QWidget *parent = w->parentWidget();
        if (w->isWindow() || !parent || parent->layout())
            continue;
        const QRect g = w->geometry();
        w->setGeometry(scaled(g.x(), factor), scaled(g.y(), factor), scaled(g.width(), factor),
                       scaled(g.height(), factor));
    }
}

void fitFixedWindowToFont(QWidget *window, QSize designSize)
{
    double factor = fontGrowthFactor(window);
    // Text does not grow quite in proportion (a check box's mark, a button's frame): a control
    // whose text would still not fit grows the whole window a little more.
    if (factor > 1.0) {
        for (QWidget *w : window->findChildren<QWidget *>()) {
            if (w->isHidden() || !w->parentWidget() || w->parentWidget()->layout())
                continue;
            const QSize needs = textNeeds(w);
            if (needs.isValid() && w->width() > 0 && w->height() > 0)
                factor = std::max({factor, double(needs.width()) / w->width(), double(needs.height()) / w->height()});
        }
    }
    scaleHandPlacedGeometry(window, factor);
    // A page inside a layout (a tab page) holds hand-placed controls: it asks for their room,
    // so that a taller tab bar or status bar makes the window taller rather than the page
    // shorter.
    for (QWidget *page : window->findChildren<QWidget *>()) {
        if (page->layout() || !page->parentWidget() || !page->parentWidget()->layout())
            continue;
        QRect used;
        for (QWidget *child : page->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (!child->isWindow() && !child->isHidden())
                used |= child->geometry();
        if (used.isValid())
            page->setMinimumSize(page->minimumSize().expandedTo(QSize(used.right() + 1, used.bottom() + 1)));
    }
    QSize size(scaled(designSize.width(), factor), scaled(designSize.height(), factor));
    if (QLayout *layout = window->layout()) {
        layout->activate();
        size = size.expandedTo(layout->minimumSize());
    }
    window->setFixedSize(size);
}

QStringList cutTexts(QWidget *root)
{
    QStringList cut;
    for (QWidget *w : root->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(root))
            continue;
        const QSize needs = textNeeds(w);
        if (!needs.isValid())
            continue;
        if (needs.width() > w->width() || needs.height() > w->height())
            cut << QStringLiteral("%1: %2 (needs %3 x %4, has %5 x %6)")
                       .arg(w->objectName(), textOf(w))
                       .arg(needs.width())
                       .arg(needs.height())
                       .arg(w->width())
                       .arg(w->height());
    }
    return cut;
}
