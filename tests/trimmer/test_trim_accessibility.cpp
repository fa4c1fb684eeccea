// Snipolux's window as a screen reader meets it: every interactive control, the toolbar's
// picture buttons above all, has a name of its own.
#include "AccessibleTree.h"
#include "TrimTestSupport.h"

#include <QToolButton>

TEST(TrimAccessibility, EveryInteractiveControlOfTheWindowHasANameOfItsOwn)
{
    TrimEnv env;
    TForm1 form;
    form.show();
    const QStringList problems = testsupport::accessibilityProblems(&form);
    EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(QAccessible::queryAccessibleInterface(form.btnOpen)->text(QAccessible::Name), QStringLiteral("Open"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(form.btnSave)->text(QAccessible::Name), QStringLiteral("Save Clip"));
}
