// The window at larger fonts: its size and layout stay those of the design at the default font
// and grow with a larger one, so that no label, button, date or time is cut and every control
// lies inside its page. Screenshots of every page at every size go to $FONOLUX_SCREENSHOTS.
#include "RecorderTestSupport.h"

#include "FontScaling.h"

#include <QFont>
#include <QFontDatabase>
#include <QPushButton>
#include <QComboBox>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>

namespace {

// Sets the application's font (or a style sheet font) for one test and restores it after.
class FontScope {
public:
    explicit FontScope(double pointSize, bool styleSheet = false) : saved_((testApp(), QApplication::font()))
    {
        if (styleSheet) {
            qApp->setStyleSheet(QStringLiteral("* { font-size: %1pt; }").arg(pointSize));
        } else {
            QFont f = QApplication::font();
            f.setPointSizeF(pointSize);
            QApplication::setFont(f);
        }
    }
    ~FontScope()
    {
        qApp->setStyleSheet(QString());
        QApplication::setFont(saved_);
    }
    FontScope(const FontScope &) = delete;
    FontScope &operator=(const FontScope &) = delete;

private:
    QFont saved_;
};

// Shows each page of the window and checks it; returns the problems found.
QStringList checkEveryPage(TForm1 &form, const QString &shotName)
{
    QStringList problems;
    form.show();
    for (int i = 0; i < form.PageControl1->count(); ++i) {
        form.PageControl1->setCurrentIndex(i);
        QApplication::processEvents();
        QWidget *page = form.PageControl1->widget(i);
        const QString pageName = form.PageControl1->tabText(i);
        for (const QString &c : cutTexts(page))
            problems << pageName + QStringLiteral(" page, cut: ") + c;
        for (QWidget *child : page->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (child->isVisibleTo(page) && !page->rect().contains(child->geometry()))
                problems << pageName + QStringLiteral(" page, outside: ") + child->objectName();
        saveScreenshot(&form, shotName + QStringLiteral("-") + QString::number(i) + QStringLiteral("-") +
                                  pageName.toLower().remove(u' '));
    }
    // The Set Up page's advanced fields, uncovered.
    form.PageControl1->setCurrentWidget(form.tsSetUp);
    form.ToolButton3->click();
    QApplication::processEvents();
    for (const QString &c : cutTexts(form.tsSetUp))
        problems << QStringLiteral("Set Up page (advanced), cut: ") + c;
    saveScreenshot(&form, shotName + QStringLiteral("-1-setup-advanced"));
    // The timer buttons' other caption, "Timer Enabled ", fits as well.
    form.PageControl1->setCurrentWidget(form.TabSheet2);
    form.timerPanels[0].btnEnbl->click();
    QApplication::processEvents();
    for (const QString &c : cutTexts(form.TabSheet2))
        problems << QStringLiteral("Timers page (enabled), cut: ") + c;
    form.timerPanels[0].btnEnbl->click();
    form.PageControl1->setCurrentIndex(0);
    return problems;
}

TEST(WindowFonts, AtTheDefaultFontTheWindowKeepsItsDesignSizeAndCutsNothing)
{
    FontScope font(9);
    FormEnv env;
    TForm1 form;
    EXPECT_EQ(form.size(), QSize(621, 392));
    EXPECT_EQ(form.BitBtn1->parentWidget()->geometry().topLeft(), QPoint(6, 100));
    const QStringList problems = checkEveryPage(form, QStringLiteral("font-09pt"));
    EXPECT_TRUE(problems.isEmpty()) << problems.join(u'\n').toStdString();
}

TEST(WindowFonts, LargerDesktopFontsGrowTheWindowAndCutNothing)
{
    for (const double points : {11.0, 13.0}) {
        SCOPED_TRACE(points);
        FontScope font(points);
        FormEnv env;
        TForm1 form;
        EXPECT_GT(form.width(), 621);
        EXPECT_GT(form.height(), 392);
        // The layout keeps its proportions: the genre box stays left of the volume slider.
        EXPECT_LT(form.cbgnr->geometry().right(), form.Slider->geometry().left());
        const QStringList problems =
            checkEveryPage(form, QStringLiteral("font-%1pt").arg(static_cast<int>(points), 2, 10, QLatin1Char('0')));
        EXPECT_TRUE(problems.isEmpty()) << problems.join(u'\n').toStdString();
    }
}

TEST(WindowFonts, AStyleSheetFontGrowsTheWindowToo)
{
    FontScope font(12, true);
    FormEnv env;
    TForm1 form;
    EXPECT_GT(form.width(), 621);
    const QStringList problems = checkEveryPage(form, QStringLiteral("font-stylesheet-12pt"));
    EXPECT_TRUE(problems.isEmpty()) << problems.join(u'\n').toStdString();
}

TEST(WindowFonts, GrowthFollowsTheFontAndNeverShrinks)
{
    testApp();
    QFont f = QApplication::font();
    f.setPixelSize(12);
    EXPECT_DOUBLE_EQ(fontGrowthFactor(f), 1.0);
    f.setPixelSize(8);
    EXPECT_DOUBLE_EQ(fontGrowthFactor(f), 1.0);
    f.setPixelSize(24);
    EXPECT_NEAR(fontGrowthFactor(f), 2.0, 0.25);
    f.setPixelSize(18);
    const double at18 = fontGrowthFactor(f);
    EXPECT_GT(at18, 1.3);
    EXPECT_LT(at18, fontGrowthFactor(QFont(f.family(), -1)) + 2.0);
}

} // namespace
