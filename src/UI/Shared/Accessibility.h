#pragma once

#include <QAccessible>

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

} // namespace Accessibility

} // namespace nbd
