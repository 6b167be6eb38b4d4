#pragma once

#include "AccessibilityWalk.h"
#include "App/ViewOwners.h"
#include "AppModelTestSupport.h"
#include "UI/Settings/SettingsView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QtTest>

#include <memory>

namespace nbd::test {

// A store beside a simulated host, and a Settings view on it in a window of its own, the way
// the application shows it.
struct SettingsFixture
{
    StoreHarness harness;
    std::unique_ptr<QWidget> window;
    SettingsView *view = nullptr;

    AppModel *store() const { return harness.store.get(); }

    // The window; connected first unless asked not to.
    SettingsView *open(bool connect = true)
    {
        if (connect)
            harness.connected();
        else if (!harness.store)
            harness.makeStore();
        window = std::make_unique<QWidget>();
        window->setObjectName(QStringLiteral("settings-window"));
        view = new SettingsView(settingsOwners(harness.store.get()), window.get());
        window->resize(view->size());
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            qWarning("settings window not exposed");
        return view;
    }

    template<class T = QWidget>
    T *find(const QString &objectName) const
    {
        return window->findChild<T *>(objectName);
    }

    QAbstractButton *row(SettingsSection section) const
    {
        return find<QAbstractButton>(QStringLiteral("settings-section-") + settingsSectionRawValue(section));
    }

    // A click on the empty right-hand part of the section's row.
    void select(SettingsSection section) const
    {
        QAbstractButton *r = row(section);
        QVERIFY(r);
        QTest::mouseClick(r, Qt::LeftButton, {}, QPoint(r->width() - 6, r->height() / 2));
        QCOMPARE(view->selection(), section);
    }
};

inline void click(QWidget *widget)
{
    QVERIFY(widget);
    QVERIFY2(widget->isVisible(), qPrintable(widget->objectName() + QStringLiteral(" is not visible")));
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

// Replaces a field's text the way a user does: select all, type.
inline void typeInto(QLineEdit *field, const QString &text)
{
    QVERIFY(field);
    field->setFocus();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(field, Qt::Key_Backspace);
    else
        QTest::keyClicks(field, text);
}

} // namespace nbd::test
