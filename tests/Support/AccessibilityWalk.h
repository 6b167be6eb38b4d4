#pragma once

#include "ObservableWaits.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <functional>
#include <vector>

// Walks the accessibility tree of a window as a screen reader or GUI automation sees it and
// lists every problem: a control a user can act on without a name, or a name, description or
// tooltip carrying markup. Hidden interfaces are skipped. An empty list means the walk passed.
// actionParity() then acts on every control both ways, by click and by its accessibility
// action, and lists the controls where the two differ; tabOrderProblems() lists the Tab
// steps that go against the order on screen.
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

// Calls visit for every interface a screen reader can reach (hidden ones and their children
// skipped), in the order of the tree.
template<class Visit>
void forEachShownAccessible(QAccessibleInterface *iface, const Visit &visit, int depth = 0)
{
    if (!iface || !iface->isValid() || depth > 64 || iface->state().invisible)
        return;
    visit(iface);
    const int count = iface->childCount();
    for (int i = 0; i < count; ++i)
        forEachShownAccessible(iface->child(i), visit, depth + 1);
}

inline void checkInterface(QAccessibleInterface *iface, QStringList &problems)
{
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
}

inline QStringList accessibilityProblems(QWidget *window)
{
    QStringList problems;
    forEachShownAccessible(QAccessible::queryAccessibleInterface(window),
                           [&](QAccessibleInterface *iface) { checkInterface(iface, problems); });
    return problems;
}

// Fails the running test with the list of problems when any shown control has them.
inline void requireAccessible(QWidget *window)
{
    const QStringList problems = accessibilityProblems(window);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
}

// ---- Action parity: the accessibility action does what a click does ----

// The action a screen reader's "activate" runs: the first one that is not a plain focus move.
inline QString defaultAction(QAccessibleInterface *iface)
{
    QAccessibleActionInterface *actions = iface->actionInterface();
    if (!actions)
        return {};
    for (const QString &name : actions->actionNames()) {
        if (name != QAccessibleActionInterface::setFocusAction())
            return name;
    }
    return {};
}

// What the parity check runs on: `open` shows the view afresh (a new window, the model in its
// starting state) and returns the window; `state` describes the model the controls act on, as
// text. `skip` leaves controls out that are checked elsewhere (nothing: none). `async` says
// that an effect may land a few event-loop turns later (a call to the host): the click's
// outcome is then taken after its first effect, the action's once it matches the click's or
// a few seconds have passed. `quiet`, for effects that come in several steps, returns once
// nothing more is on its way (the host has answered every call, the work started has ended);
// each outcome is taken after it as well, so an action that does more than the click is seen.
struct ActionParityCheck
{
    std::function<QWidget *()> open;
    std::function<QString()> state;
    std::function<bool(QAccessibleInterface *)> skip;
    bool async = false;
    std::function<void()> quiet;
};

struct ActionParityReport
{
    QStringList problems; // empty: every control's action did what its click did
    QStringList controls; // each control compared, with the state its click left
    int changed = 0;      // controls whose click changed the state
};

namespace detail {

struct ActionTarget
{
    QString key;
    QAccessibleInterface *iface = nullptr;
};

// The enabled controls with an action, each with a key that finds it again in a fresh view:
// its class, object name and accessible name, and how many such controls came before it.
inline std::vector<ActionTarget> actionTargets(QWidget *window, const std::function<bool(QAccessibleInterface *)> &skip)
{
    std::vector<ActionTarget> targets;
    QHash<QString, int> seen;
    forEachShownAccessible(QAccessible::queryAccessibleInterface(window), [&](QAccessibleInterface *iface) {
        if (iface->state().disabled || defaultAction(iface).isEmpty() || !iface->rect().isValid())
            return;
        const QString base = describeInterface(iface) + u'|' + iface->text(QAccessible::Name);
        const QString key = base + u'#' + QString::number(seen[base]++);
        if (!skip || !skip(iface))
            targets.push_back({key, iface});
    });
    return targets;
}

inline QAccessibleInterface *findTarget(QWidget *window, const QString &key)
{
    for (const ActionTarget &target : actionTargets(window, {})) {
        if (target.key == key)
            return target.iface;
    }
    return nullptr;
}

// Watches for menus, popups and other windows a control opens while it acts, names them and
// closes them again, so a blocking menu returns and both ways of acting see the same.
class TransientWatcher
{
public:
    explicit TransientWatcher(QWidget *window) : m_window(window)
    {
        const auto before = QApplication::topLevelWidgets();
        for (QWidget *w : before) {
            if (w->isVisible())
                m_before.insert(w);
        }
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { sweep(); });
        m_timer.start();
    }

    void sweep()
    {
        const auto tops = QApplication::topLevelWidgets();
        for (QWidget *w : tops) {
            if (!w->isVisible() || w == m_window || m_before.contains(w))
                continue;
            const QString name = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                                           : w->objectName();
            if (!m_opened.contains(name))
                m_opened << name;
            w->close();
        }
    }

    // What opened so far; the watch goes on until the watcher goes, for effects still to come.
    QString opened()
    {
        sweep();
        return m_opened.join(u',');
    }

private:
    QWidget *m_window;
    QSet<QWidget *> m_before;
    QStringList m_opened;
    QTimer m_timer;
};

// Lets a press finish: an accessibility press of a Qt button clicks once its short
// press animation has run.
inline void settle(QWidget *window)
{
    QCoreApplication::processEvents();
    (void)QTest::qWaitFor([&] {
        const auto buttons = window->findChildren<QAbstractButton *>();
        return std::none_of(buttons.begin(), buttons.end(), [](QAbstractButton *b) { return b->isDown(); });
    }, 2000);
    QCoreApplication::processEvents();
}

// Until the effects of an async control have all arrived, and what they queued is delivered.
inline void untilQuiet(const ActionParityCheck &check)
{
    if (check.quiet)
        check.quiet();
    drainEventLoop();
}

inline void clickAt(QAccessibleInterface *iface)
{
    const QPoint global = iface->rect().center();
    auto *widget = qobject_cast<QWidget *>(iface->object());
    // A row without an object of its own (one its view paints) takes the click on its view.
    for (QAccessibleInterface *up = iface->parent(); !widget && up; up = up->parent())
        widget = qobject_cast<QWidget *>(up->object());
    // A widget's own interface takes the click on the widget; an item of a view on the view's
    // viewport.
    if (widget && QAccessible::queryAccessibleInterface(widget) == iface) {
        QTest::mouseClick(widget, Qt::LeftButton, {}, widget->mapFromGlobal(global));
        return;
    }
    QWidget *target = widget;
    if (auto *area = qobject_cast<QAbstractScrollArea *>(widget))
        target = area->viewport();
    if (target)
        QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFromGlobal(global));
}

} // namespace detail

// For every enabled control with an action in the view: clicks it in one fresh view and runs
// its default accessibility action in another, and reports every control where the two leave
// a different state (or open different menus and windows).
inline ActionParityReport actionParity(const ActionParityCheck &check)
{
    ActionParityReport report;
    std::vector<QString> keys;
    for (const detail::ActionTarget &target : detail::actionTargets(check.open(), check.skip))
        keys.push_back(target.key);
    for (const QString &key : keys) {
        QWidget *window = check.open();
        QAccessibleInterface *iface = detail::findTarget(window, key);
        if (!iface) {
            report.problems << QStringLiteral("not found again: ") + key;
            continue;
        }
        const QString before = check.state();
        QString clicked;
        {
            detail::TransientWatcher watcher(window);
            detail::clickAt(iface);
            detail::settle(window);
            if (check.async) {
                // The first effect, then until nothing more is on its way.
                (void)QTest::qWaitFor([&] { return check.state() != before; }, 1000);
                detail::untilQuiet(check);
            }
            clicked = check.state() + QStringLiteral(" opened:") + watcher.opened();
        }

        window = check.open();
        iface = detail::findTarget(window, key);
        if (!iface) {
            report.problems << QStringLiteral("not found in a fresh view: ") + key;
            continue;
        }
        const QString action = defaultAction(iface);
        QString acted;
        {
            detail::TransientWatcher watcher(window);
            iface->actionInterface()->doAction(action);
            detail::settle(window);
            auto outcome = [&] { return check.state() + QStringLiteral(" opened:") + watcher.opened(); };
            acted = outcome();
            if (check.async) {
                if (acted != clicked)
                    (void)QTest::qWaitFor([&] { return outcome() == clicked; }, 3000);
                detail::untilQuiet(check);
                acted = outcome();
            }
        }
        report.controls << key + QStringLiteral(" -> ") + clicked;
        if (clicked != before + QStringLiteral(" opened:"))
            ++report.changed;
        if (acted != clicked)
            report.problems << key + QStringLiteral(": click gives [") + clicked + QStringLiteral("], action \"") + action
                    + QStringLiteral("\" gives [") + acted + u']';
    }
    return report;
}

// ---- Keyboard: Tab goes through the controls in the order they are shown ----

// The widgets Tab reaches in the window, in order, starting where the first Tab press from
// no focus lands, until the focus comes round again (at most `limit` presses). Each press is
// a real key press on the focused widget.
inline QList<QWidget *> tabChain(QWidget *window, int limit = 100)
{
    QList<QWidget *> chain;
    if (QWidget *focused = window->focusWidget())
        focused->clearFocus();
    QTest::keyClick(window, Qt::Key_Tab);
    for (int i = 0; i < limit; ++i) {
        QWidget *focused = QApplication::focusWidget();
        if (!focused || !window->isAncestorOf(focused) || chain.contains(focused))
            break;
        chain << focused;
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    return chain;
}

// Whether b is shown after a in reading order: further down, or beside it on the same line
// to its right (a few pixels of slack for controls of different heights on one line).
inline bool readsAfter(const QRect &a, const QRect &b)
{
    constexpr int slack = 4;
    const bool sameLine = (b.center().y() >= a.top() && b.center().y() <= a.bottom())
        || (a.center().y() >= b.top() && a.center().y() <= b.bottom());
    if (sameLine)
        return b.left() >= a.right() - slack;
    return b.top() >= a.bottom() - slack || b.center().y() > a.bottom();
}

// Every Tab step that goes back against the reading order, named; empty when the order is
// the order on screen. Also a problem: Tab reaching fewer than `least` widgets.
inline QStringList tabOrderProblems(QWidget *window, int least = 2)
{
    QStringList problems;
    const QList<QWidget *> chain = tabChain(window);
    auto name = [](QWidget *w) {
        return QString::fromLatin1(w->metaObject()->className()) + u'#' + w->objectName();
    };
    if (chain.size() < least) {
        QStringList names;
        for (QWidget *w : chain)
            names << name(w);
        problems << QStringLiteral("Tab reaches only: ") + names.join(QStringLiteral(", "));
    }
    for (qsizetype i = 1; i < chain.size(); ++i) {
        const QRect a(chain[i - 1]->mapTo(window, QPoint()), chain[i - 1]->size());
        const QRect b(chain[i]->mapTo(window, QPoint()), chain[i]->size());
        if (!readsAfter(a, b))
            problems << QStringLiteral("Tab goes back from ") + name(chain[i - 1]) + QStringLiteral(" to ") + name(chain[i]);
    }
    return problems;
}

} // namespace nbd::test
