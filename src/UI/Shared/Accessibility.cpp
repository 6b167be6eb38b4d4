#include "UI/Shared/Accessibility.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QRadioButton>
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
        // A check box or radio button row says whether it is ticked, straight from the button.
        auto *button = qobject_cast<QAbstractButton *>(widget());
        if (button && (role() == QAccessible::CheckBox || role() == QAccessible::RadioButton)) {
            s.checkable = true;
            s.checked = button->isChecked();
        }
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

// Return and Enter press a focused button the way Space does. Qt's own buttons take Space only
// (a push button takes Return just inside a dialog); screen-reader and keyboard users expect
// both. Standard check boxes and radio buttons keep Qt's behaviour: there Return belongs to the
// dialog's default button.
class ReturnActivatesButtons : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        auto *button = qobject_cast<QAbstractButton *>(watched);
        if (!button || qobject_cast<QCheckBox *>(button) || qobject_cast<QRadioButton *>(button))
            return false;
        // The button's own key press, not one passed up from a child that has the focus.
        if (button->window()->focusWidget() != button || !button->isEnabled() || !button->isVisible())
            return false;
        if (!key->isAutoRepeat())
            button->click();
        return true;
    }
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
    if (QCoreApplication *app = QCoreApplication::instance())
        app->installEventFilter(new ReturnActivatesButtons(app));
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
