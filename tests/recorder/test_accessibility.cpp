// Fonolux's window as a screen reader meets it: every interactive control has a name of its
// own, the level meter reads its level and the marquee the text it scrolls.
#include "AccessibleTree.h"
#include "LevelMeter.h"
#include "RecorderTestSupport.h"
#include "ScrollingMarquee.h"

#include <QAccessibleValueInterface>
#include <QSlider>
#include <QToolButton>

namespace {

QAccessibleInterface *accessibleOf(QObject *o)
{
    return QAccessible::queryAccessibleInterface(o);
}

} // namespace

TEST(Accessibility, EveryInteractiveControlOfTheWindowHasANameOfItsOwn)
{
    FormEnv env;
    TForm1 form;
    form.show();
    const QStringList problems = testsupport::accessibilityProblems(&form);
    EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();

    // The buttons are named after what they do, not after their group's caption.
    EXPECT_EQ(accessibleOf(form.BitBtn1)->text(QAccessible::Name), QStringLiteral("Receive"));
    EXPECT_EQ(accessibleOf(form.BitBtn2)->text(QAccessible::Name), QStringLiteral("Pause"));
    EXPECT_EQ(accessibleOf(form.RecordButton)->text(QAccessible::Name), QStringLiteral("Record"));
    EXPECT_EQ(accessibleOf(form.PauseRecordButton)->text(QAccessible::Name), QStringLiteral("Pause Recording"));
    EXPECT_EQ(accessibleOf(form.Slider)->text(QAccessible::Name), QStringLiteral("Volume"));
}

TEST(Accessibility, TheMarqueeReadsTheTextItScrollsAndTheMeterItsLevel)
{
    FormEnv env;
    TForm1 form;
    form.show();
    QAccessibleInterface *marquee = accessibleOf(form.mrqstn);
    ASSERT_NE(marquee, nullptr);
    EXPECT_EQ(marquee->role(), QAccessible::StaticText);
    EXPECT_EQ(marquee->text(QAccessible::Name), QStringLiteral("Station not connected."));
    form.mrqstn->Items()->GetItems(0)->SetText(QStringLiteral("Jazz - Some Title"));
    EXPECT_EQ(marquee->text(QAccessible::Name), QStringLiteral("Jazz - Some Title"));
    form.mrqstn->Items()->Add()->SetText(QStringLiteral("second"));
    EXPECT_EQ(marquee->text(QAccessible::Name), QStringLiteral("Jazz - Some Title  second"));

    QAccessibleInterface *meter = accessibleOf(form.ProgressBar2);
    ASSERT_NE(meter, nullptr);
    EXPECT_EQ(meter->role(), QAccessible::ProgressBar);
    EXPECT_EQ(meter->text(QAccessible::Name), QStringLiteral("Level"));
    form.ProgressBar2->setValue(77);
    ASSERT_NE(meter->valueInterface(), nullptr);
    EXPECT_EQ(meter->valueInterface()->currentValue().toInt(), 77);
    EXPECT_EQ(meter->valueInterface()->maximumValue().toInt(), 120);
    EXPECT_EQ(meter->text(QAccessible::Value), QStringLiteral("77"));
}
