#include "UI/Shared/Accessibility.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QWidget>

namespace nbd::Accessibility {

namespace {

constexpr const char *kRoleProperty = "nbdAccessibleRole";
constexpr const char *kStateProperty = "nbdAccessibleState";

RowState stateOf(const QWidget *widget)
{
    return widget->property(kStateProperty).value<RowState>();
}

class RowInterface : public QAccessibleWidget
{
public:
    RowInterface(QWidget *widget, QAccessible::Role role)
        : QAccessibleWidget(widget, role)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name) {
            const QString name = widget()->accessibleName();
            if (!name.isEmpty())
                return name;
            if (auto *button = qobject_cast<QAbstractButton *>(widget()))
                return button->text();
            return {};
        }
        if (t == QAccessible::Description)
            return widget()->accessibleDescription();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        const RowState row = stateOf(widget());
        s.selectable = row.selectable;
        s.selected = row.selected;
        s.expandable = row.expandable;
        s.expanded = row.expandable && row.expanded;
        s.collapsed = row.expandable && !row.expanded;
        s.busy = row.busy;
        return s;
    }

    QStringList actionNames() const override
    {
        QStringList names;
        if (qobject_cast<QAbstractButton *>(widget()))
            names << pressAction();
        if (widget()->focusPolicy() != Qt::NoFocus)
            names << setFocusAction();
        return names;
    }

    void doAction(const QString &actionName) override
    {
        if (!widget()->isEnabled())
            return;
        auto *button = qobject_cast<QAbstractButton *>(widget());
        if (button && actionName == pressAction())
            button->click(); // the same as a click: the button's clicked() runs
        else if (actionName == setFocusAction())
            widget()->setFocus(Qt::OtherFocusReason);
    }

    QStringList keyBindingsForAction(const QString &) const override { return {}; }
};

QAccessibleInterface *factory(const QString &, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    const QVariant role = object->property(kRoleProperty);
    if (!role.isValid())
        return nullptr;
    return new RowInterface(static_cast<QWidget *>(object), QAccessible::Role(role.toInt()));
}

} // namespace

void install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(factory);
}

void describe(QWidget *widget, QAccessible::Role role, const RowState &state)
{
    install();
    const RowState before = stateOf(widget);
    const bool known = widget->property(kRoleProperty).isValid();
    widget->setProperty(kRoleProperty, int(role));
    widget->setProperty(kStateProperty, QVariant::fromValue(state));
    if (!known) {
        // An interface made for the widget before it opted in (a name change announces
        // itself) is dropped, so the next query builds this one.
        QAccessibleInterface *existing = QAccessible::queryAccessibleInterface(widget);
        if (existing && !dynamic_cast<RowInterface *>(existing))
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(existing));
        return;
    }
    if (!QAccessible::isActive())
        return;
    QAccessible::State changed;
    changed.selected = before.selected != state.selected;
    changed.expanded = before.expanded != state.expanded;
    changed.collapsed = changed.expanded;
    changed.busy = before.busy != state.busy;
    QAccessibleStateChangeEvent event(widget, changed);
    QAccessible::updateAccessibility(&event);
}

} // namespace nbd::Accessibility
