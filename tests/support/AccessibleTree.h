// A window's controls as assistive tools see them: the accessible tree walked from the window,
// and what a user of a screen reader would miss there (an interactive control without a name,
// or two controls sharing one). Header only: for the GUI tests, which link Qt.
#pragma once

#include <QAccessible>
#include <QStackedWidget>
#include <QStringList>
#include <QWidget>

#include <map>

namespace testsupport {

inline bool isInteractiveRole(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::Dial:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::ButtonDropGrid:
    case QAccessible::PageTab:
    case QAccessible::ProgressBar:
    case QAccessible::HotkeyField:
    case QAccessible::Link:
        return true;
    default:
        return false;
    }
}

struct AccessibleControl {
    QString name;
    QAccessible::Role role;
    QString path; // object names from the window down
};

// Collects the interactive controls below iface. A control's own parts (a combo box's edit
// field, a spin box's buttons) are the control's, so the walk does not go into them. Widgets the
// program hid are left out; pages of a stacked widget (tab pages not shown) are walked.
inline void collectAccessible(QAccessibleInterface *iface, const QString &path, std::vector<AccessibleControl> &out)
{
    if (!iface || !iface->isValid())
        return;
    const auto *widget = qobject_cast<const QWidget *>(iface->object());
    if (widget && widget->isHidden() && !qobject_cast<QStackedWidget *>(widget->parentWidget()))
        return;
    const QString here = path + QLatin1Char('/') +
                         (iface->object() && !iface->object()->objectName().isEmpty()
                              ? iface->object()->objectName()
                              : QString::number(int(iface->role())));
    if (isInteractiveRole(iface->role())) {
        out.push_back({iface->text(QAccessible::Name).trimmed(), iface->role(), here});
        return;
    }
    for (int i = 0; i < iface->childCount(); ++i)
        collectAccessible(iface->child(i), here, out);
}

inline std::vector<AccessibleControl> accessibleControls(QWidget *window)
{
    std::vector<AccessibleControl> out;
    collectAccessible(QAccessible::queryAccessibleInterface(window), QString(), out);
    return out;
}

// One line per problem: a control without a name, a name that two or more controls share.
inline QStringList accessibilityProblems(QWidget *window)
{
    QStringList problems;
    std::map<QString, QStringList> byName;
    for (const AccessibleControl &c : accessibleControls(window)) {
        if (c.name.isEmpty())
            problems << QStringLiteral("no name: %1 (role %2)").arg(c.path).arg(int(c.role));
        else
            byName[c.name] << c.path;
    }
    for (const auto &[name, paths] : byName)
        if (paths.size() > 1)
            problems << QStringLiteral("\"%1\" is the name of %2").arg(name, paths.join(QStringLiteral(", ")));
    return problems;
}

} // namespace testsupport
