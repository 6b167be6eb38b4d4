#include "UI/Shared/Accessibility.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QHash>
#include <QKeyEvent>
#include <QPointer>
#include <QRadioButton>
#include <QWidget>

namespace nbd::Accessibility {

namespace {

constexpr const char *kRoleProperty = "nbdAccessibleRole";
constexpr const char *kStateProperty = "nbdAccessibleState";
constexpr const char *kRowsProperty = "nbdAccessibleRows";

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

// What describeRows() gave a widget; a child of the widget, so it goes with it.
class RowsHolder : public QObject
{
public:
    RowsHolder(QWidget *widget, QAccessible::Role role, Rows rows)
        : QObject(widget)
        , role(role)
        , rows(std::move(rows))
    {
    }
    QAccessible::Role role;
    Rows rows;
};

const RowsHolder *rowsHolderOf(const QWidget *widget)
{
    return widget ? static_cast<const RowsHolder *>(widget->property(kRowsProperty).value<QObject *>()) : nullptr;
}

const Rows *rowsOf(const QWidget *widget)
{
    const RowsHolder *holder = rowsHolderOf(widget);
    return holder ? &holder->rows : nullptr;
}

// Where the rows of a widget can be seen: a scroll area's viewport, else the whole widget.
QRect shownArea(const QWidget *widget)
{
    if (auto *area = qobject_cast<const QAbstractScrollArea *>(widget))
        return area->viewport()->geometry();
    return widget->rect();
}

// One row of a widget with rows: no object of its own (the widget paints it), known to its
// parent by its position.
class RowItemInterface : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    RowItemInterface(QWidget *widget, int row)
        : m_widget(widget)
        , m_row(row)
    {
    }

    bool isValid() const override
    {
        const Rows *rows = rowsOf(m_widget);
        return rows && m_row < rows->count();
    }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_widget ? m_widget->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override
    {
        return m_widget ? QAccessible::queryAccessibleInterface(m_widget.data()) : nullptr;
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override
    {
        if (!isValid())
            return {};
        const Rows &rows = *rowsOf(m_widget);
        if (t == QAccessible::Name)
            return rows.name ? rows.name(m_row) : QString();
        if (t == QAccessible::Description)
            return rows.description ? rows.description(m_row) : QString();
        return {};
    }
    void setText(QAccessible::Text, const QString &) override {}

    QRect rect() const override
    {
        if (!isValid())
            return {};
        const QRect place = rowsOf(m_widget)->rect(m_row);
        return QRect(m_widget->mapToGlobal(place.topLeft()), place.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        const Rows &rows = *rowsOf(m_widget);
        const RowState row = rows.state ? rows.state(m_row) : RowState{};
        s.selectable = row.selectable;
        s.selected = row.selected;
        s.expandable = row.expandable;
        s.expanded = row.expandable && row.expanded;
        s.collapsed = row.expandable && !row.expanded;
        s.busy = row.busy;
        s.disabled = !m_widget->isEnabled();
        s.focusable = m_widget->focusPolicy() != Qt::NoFocus;
        s.focused = s.focusable && m_widget->hasFocus() && rows.current && rows.current(m_row);
        // A row scrolled out of sight is not shown, as in Qt's own item views.
        if (!m_widget->isVisible() || !rows.rect(m_row).intersects(shownArea(m_widget))) {
            s.invisible = true;
            s.offscreen = true;
        }
        return s;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
    }

    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString &actionName) override
    {
        if (actionName != pressAction() || !isValid() || !m_widget->isEnabled())
            return;
        const Rows &rows = *rowsOf(m_widget);
        if (rows.activate)
            rows.activate(m_row);
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QPointer<QWidget> m_widget;
    int m_row;
};

// A widget with rows: its children are the rows, made when first asked for and kept until
// the widget's interface goes.
class RowListInterface : public QAccessibleWidget
{
public:
    RowListInterface(QWidget *widget, QAccessible::Role role)
        : QAccessibleWidget(widget, role)
    {
    }
    ~RowListInterface() override
    {
        for (QAccessible::Id id : std::as_const(m_children))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override
    {
        const Rows *rows = rowsOf(widget());
        return rows && rows->count ? rows->count() : 0;
    }

    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        if (const auto it = m_children.constFind(index); it != m_children.cend())
            return QAccessible::accessibleInterface(*it);
        auto *row = new RowItemInterface(widget(), index);
        m_children.insert(index, QAccessible::registerAccessibleInterface(row));
        return row;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (auto it = m_children.cbegin(); it != m_children.cend(); ++it) {
            if (QAccessible::accessibleInterface(it.value()) == child)
                return it.key() < childCount() ? it.key() : -1;
        }
        return -1;
    }

    QAccessibleInterface *childAt(int x, int y) const override
    {
        const Rows *rows = rowsOf(widget());
        if (!rows)
            return nullptr;
        const QPoint local = widget()->mapFromGlobal(QPoint(x, y));
        if (rows->rowAt)
            return child(rows->rowAt(local));
        const int count = childCount();
        for (int i = 0; i < count; ++i) {
            if (rows->rect(i).contains(local))
                return child(i);
        }
        return nullptr;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && !widget()->accessibleName().isEmpty())
            return widget()->accessibleName();
        return QAccessibleWidget::text(t);
    }

private:
    mutable QHash<int, QAccessible::Id> m_children;
};

// Drops an interface made for the widget before it opted in, so the next query builds ours.
void dropEarlierInterface(QWidget *widget, bool (*isOurs)(QAccessibleInterface *))
{
    QAccessibleInterface *existing = QAccessible::queryAccessibleInterface(widget);
    if (existing && !isOurs(existing))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(existing));
}

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
    auto *widget = static_cast<QWidget *>(object);
    if (const RowsHolder *holder = rowsHolderOf(widget))
        return new RowListInterface(widget, holder->role);
    const QVariant role = object->property(kRoleProperty);
    if (!role.isValid())
        return nullptr;
    return new RowInterface(widget, QAccessible::Role(role.toInt()));
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
        dropEarlierInterface(widget, [](QAccessibleInterface *iface) { return dynamic_cast<RowInterface *>(iface) != nullptr; });
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

void setTabOrder(std::initializer_list<QWidget *> widgets)
{
    // QWidget::setTabOrder(a, b) takes the chain for a ring: it does nothing when b already
    // follows a across the window's own place, so pairs in order can leave the last widgets
    // first. Putting each one right after the first, from the last back, cannot hit that.
    if (widgets.size() < 2)
        return;
    QWidget *first = *widgets.begin();
    for (auto it = widgets.end() - 1; it != widgets.begin(); --it)
        QWidget::setTabOrder(first, *it);
}

void describeRows(QWidget *widget, QAccessible::Role role, Rows rows)
{
    install();
    if (const RowsHolder *earlier = rowsHolderOf(widget))
        delete earlier;
    auto *holder = new RowsHolder(widget, role, std::move(rows));
    widget->setProperty(kRowsProperty, QVariant::fromValue(static_cast<QObject *>(holder)));
    dropEarlierInterface(widget, [](QAccessibleInterface *iface) { return dynamic_cast<RowListInterface *>(iface) != nullptr; });
}

void describeItemRows(QAbstractItemView *view, std::function<void(const QModelIndex &)> activate,
                      std::function<RowState(const QModelIndex &)> state)
{
    // The rows die with the view, so they may hold it by a plain pointer.
    auto index = [view](int row) {
        return view->model() ? view->model()->index(row, 0, view->rootIndex()) : QModelIndex();
    };
    Rows rows;
    rows.count = [view] { return view->model() ? view->model()->rowCount(view->rootIndex()) : 0; };
    rows.name = [index](int row) {
        const QModelIndex i = index(row);
        const QString text = i.data(Qt::AccessibleTextRole).toString();
        return text.isEmpty() ? i.data(Qt::DisplayRole).toString() : text;
    };
    rows.description = [index](int row) {
        const QModelIndex i = index(row);
        const QString text = i.data(Qt::AccessibleDescriptionRole).toString();
        return text.isEmpty() ? i.data(Qt::ToolTipRole).toString() : text;
    };
    rows.rect = [view, index](int row) {
        return view->visualRect(index(row)).translated(view->viewport()->geometry().topLeft());
    };
    rows.state = [view, index, state = std::move(state)](int row) {
        const QModelIndex i = index(row);
        if (state)
            return state(i);
        RowState s;
        s.selectable = view->selectionMode() != QAbstractItemView::NoSelection;
        s.selected = view->selectionModel() && view->selectionModel()->isSelected(i);
        return s;
    };
    rows.current = [view, index](int row) { return view->currentIndex() == index(row); };
    rows.rowAt = [view](QPoint point) {
        const QModelIndex i = view->indexAt(view->viewport()->mapFrom(view, point));
        return i.isValid() ? i.row() : -1;
    };
    rows.activate = [view, index, activate = std::move(activate)](int row) {
        const QModelIndex i = index(row);
        if (!i.isValid())
            return;
        view->setCurrentIndex(i); // as the click's press does
        if (activate)
            activate(i);
    };
    describeRows(view, QAccessible::List, std::move(rows));
}

} // namespace nbd::Accessibility
