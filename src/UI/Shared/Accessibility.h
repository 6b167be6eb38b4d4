#pragma once

#include <QAccessible>
#include <QRect>

#include <functional>
#include <initializer_list>

class QAbstractItemView;
class QModelIndex;
class QWidget;

namespace nbd {

// Accessibility of the custom-painted rows and buttons. A widget opts in with
// Accessibility::describe(): it then reaches screen readers and GUI automation with the
// given role, its accessible name, and the states the row holds (selected, expanded, busy);
// the press action of a button does what a click does.
namespace Accessibility {

struct RowState
{
    bool selectable = false;
    bool selected = false;
    bool expandable = false;
    bool expanded = false;
    bool busy = false;
};

// Installs the interface factory once per process (the shared start-up calls it), and the
// application-wide rule that Return and Enter press a focused button as Space does.
void install();

// Marks widget as a row or control of the given role with the given state; updates notify
// assistive technology of the change.
void describe(QWidget *widget, QAccessible::Role role, const RowState &state = {});

// Makes Tab go through `widgets` in the given order, the first staying where it is in the
// window's chain.
void setTabOrder(std::initializer_list<QWidget *> widgets);

// The rows of a widget that paints them itself (a list view's items, a strip of marks), as
// screen readers and GUI automation see them: each row a child of the widget with its name,
// place and state, whose press action does what a click on the row does. Rows are asked for
// by their position, so the functions answer from the widget's current state.
struct Rows
{
    std::function<int()> count;
    std::function<QString(int)> name;
    std::function<QString(int)> description; // optional
    std::function<QRect(int)> rect;           // in the widget's coordinates
    std::function<RowState(int)> state;       // optional
    std::function<bool(int)> current;         // optional: the row keyboard input acts on
    std::function<int(QPoint)> rowAt;         // optional: in the widget's coordinates, or -1
    std::function<void(int)> activate;        // what a click on the row does
};

// Gives widget (as `role`, a list or the like) the rows. A widget that already had an
// interface gets the new one from the next query.
void describeRows(QWidget *widget, QAccessible::Role role, Rows rows);

// The items of a list view as rows: named by their accessible text (else their display
// text), described by their tooltip, selected as the view's selection says unless `state`
// tells otherwise. Pressing a row makes it current, as a click does, and then runs
// `activate`, the view's own reaction to a click.
void describeItemRows(QAbstractItemView *view, std::function<void(const QModelIndex &)> activate,
                      std::function<RowState(const QModelIndex &)> state = {});

} // namespace Accessibility

} // namespace nbd
