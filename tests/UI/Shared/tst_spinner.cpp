// The shared spinner: it turns only while shown and while motion is allowed, follows a change of
// the reduce-motion setting at once, and lets clicks through to what it sits on.
#include "GuiTestMain.h"
#include "RenderedWidget.h"

#include "UI/Shared/Motion.h"
#include "UI/Shared/Spinner.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QVariantAnimation>

using namespace nbd;
using test::paintsNear;
using test::rendered;

class tst_Spinner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Motion::setReduceMotion(false); }

    void turnsOnlyWhileShown()
    {
        QWidget window;
        auto *spinner = new Spinner(14, &window);
        QCOMPARE(spinner->size(), QSize(14, 14));
        QVERIFY(!spinner->isAnimating());

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(spinner->isAnimating());
        // The arc moves: two frames a moment apart differ.
        const QImage first = rendered(spinner);
        QTRY_VERIFY(rendered(spinner) != first);

        spinner->hide();
        QVERIFY(!spinner->isAnimating());
        spinner->show();
        QVERIFY(spinner->isAnimating());
        window.hide();
        QVERIFY(!spinner->isAnimating());
    }

    void followsReduceMotion()
    {
        QWidget window;
        auto *spinner = new Spinner(12, &window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(spinner->isAnimating());

        Motion::setReduceMotion(true);
        QVERIFY(!spinner->isAnimating());
        const QImage still = rendered(spinner);
        // A few ticks of the animation driver, which would have moved a running arc.
        QVariantAnimation witness;
        witness.setStartValue(0.0);
        witness.setEndValue(1.0);
        witness.setDuration(60000);
        QSignalSpy ticks(&witness, &QVariantAnimation::valueChanged);
        witness.start();
        QTRY_VERIFY(ticks.size() >= 4);
        QCOMPARE(rendered(spinner), still);

        // Shown again under reduced motion it stays still; motion back on, it turns.
        spinner->hide();
        spinner->show();
        QVERIFY(!spinner->isAnimating());
        Motion::setReduceMotion(false);
        QVERIFY(spinner->isAnimating());

        // A spinner in a hidden window does not start when motion comes back.
        Motion::setReduceMotion(true);
        window.hide();
        Motion::setReduceMotion(false);
        QVERIFY(!spinner->isAnimating());
    }

    void colourAndClicks()
    {
        QPushButton button(QStringLiteral("运行"));
        button.resize(120, 32);
        auto *spinner = new Spinner(12, &button);
        spinner->move(4, 10);
        spinner->setColor(Qt::red);
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        // The arc is drawn in the colour given.
        QVERIFY(paintsNear(rendered(spinner), Qt::red, 56));

        QSignalSpy clicked(&button, &QPushButton::clicked);
        QTest::mouseClick(button.window(), Qt::LeftButton, {}, spinner->geometry().center());
        QCOMPARE(clicked.count(), 1);
    }
};

NBD_GUI_TEST_MAIN(tst_Spinner)
#include "tst_spinner.moc"
