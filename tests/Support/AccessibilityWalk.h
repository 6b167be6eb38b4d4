#pragma once

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QRegularExpression>
#include <QStringList>
#include <QWidget>

// Walks the accessibility tree of a window as a screen reader or GUI automation sees it and
// lists every problem: a control a user can act on without a name, or a name, description or
// tooltip carrying markup. Hidden interfaces are skipped. An empty list means the walk passed.
namespace nbd::test {

inline bool isActionableRole(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::Button:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::MenuItem:
    case QAccessible::PageTab:
    case QAccessible::Link:
    case QAccessible::ListItem:
    case QAccessible::TreeItem:
    case QAccessible::Cell:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
        return true;
    default:
        return false;
    }
}

inline QString describeInterface(QAccessibleInterface *iface)
{
    QString what = QString::number(iface->role(), 16);
    if (QObject *object = iface->object()) {
        what = QString::fromLatin1(object->metaObject()->className());
        if (!object->objectName().isEmpty())
            what += u'#' + object->objectName();
    }
    return what;
}

inline void walkAccessible(QAccessibleInterface *iface, QStringList &problems, int depth)
{
    if (!iface || !iface->isValid() || depth > 64)
        return;
    if (iface->state().invisible)
        return;
    const QString name = iface->text(QAccessible::Name);
    const bool actionable = isActionableRole(iface->role())
        || (iface->actionInterface() && !iface->actionInterface()->actionNames().isEmpty());
    if (actionable && name.trimmed().isEmpty())
        problems << QStringLiteral("unnamed ") + describeInterface(iface);
    static const QRegularExpression markup(QStringLiteral("<(p|br|b|i|html|qt|span|div)\\b"),
                                           QRegularExpression::CaseInsensitiveOption);
    for (auto kind : {QAccessible::Name, QAccessible::Description}) {
        if (iface->text(kind).contains(markup))
            problems << QStringLiteral("markup in the text of ") + describeInterface(iface) + QStringLiteral(": ") + iface->text(kind);
    }
    if (auto *widget = qobject_cast<QWidget *>(iface->object())) {
        if (widget->toolTip().contains(markup))
            problems << QStringLiteral("markup in the tooltip of ") + describeInterface(iface);
    }
    const int count = iface->childCount();
    for (int i = 0; i < count; ++i)
        walkAccessible(iface->child(i), problems, depth + 1);
}

inline QStringList accessibilityProblems(QWidget *window)
{
    QStringList problems;
    walkAccessible(QAccessible::queryAccessibleInterface(window), problems, 0);
    return problems;
}

} // namespace nbd::test
