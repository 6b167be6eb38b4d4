#include "GuiTestMain.h"
#include "UI/Shared/BlinkingCursor.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/DeepDivingStatusView.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>
#include <QVBoxLayout>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

class tst_DeepDivingStatus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Motion::setReduceMotion(false); }

    void identity()
    {
        DeepDivingStatusView view;
        QCOMPARE(view.objectName(), u"deep-diving-status"_s);
        QCOMPARE(view.accessibleName(), u"Deep diving..."_s);
        QCOMPARE(view.sizeHint(), QSize(DeepDivingStatusView::textWidth(), 26));
        QVERIFY(DeepDivingStatusView::textWidth() > 60);
    }

    void sweepsOnlyWhileShown()
    {
        QWidget window;
        auto *view = new DeepDivingStatusView(&window);
        view->resize(view->sizeHint());
        QVERIFY(!view->isAnimating()); // laid out, but in no shown window

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(view->isAnimating());
        QCOMPARE(view->animatedWidth(), qreal(view->width()));
        const qreal first = view->gradientTranslation();
        QTRY_VERIFY(view->gradientTranslation() != first);
        QVERIFY(view->gradientTranslation() >= 0 && view->gradientTranslation() <= 2 * view->width());

        window.hide();
        QVERIFY(!view->isAnimating());
    }

    void reduceMotionHoldsTheBandInTheMiddle()
    {
        Motion::setReduceMotion(true);
        QWidget window;
        auto *view = new DeepDivingStatusView(&window);
        view->resize(view->sizeHint());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!view->isAnimating());
        QCOMPARE(view->gradientTranslation(), qreal(view->width()));

        // Turning it off while shown starts the sweep at once; on again stops it.
        Motion::setReduceMotion(false);
        QVERIFY(view->isAnimating());
        Motion::setReduceMotion(true);
        QVERIFY(!view->isAnimating());
        QCOMPARE(view->gradientTranslation(), qreal(view->width()));
    }

    // What is drawn is the text's outline filled with the band's gradient, wherever the band
    // stands, and again after a resize.
    void drawnAsTheTextFilledWithTheBand()
    {
        Motion::setReduceMotion(true);
        QWidget window;
        auto *view = new DeepDivingStatusView(&window);
        view->resize(view->sizeHint());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const auto expected = [&] {
            const qreal w = view->width();
            QImage image(view->size(), QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            const QFont font = Fonts::system(14, QFont::DemiBold);
            const QFontMetricsF fm(font);
            const qreal top = std::floor((view->height() - std::ceil(fm.ascent() + fm.descent() + fm.leading())) / 2);
            QPainterPath glyphs;
            glyphs.addText(QPointF(0, top + fm.ascent()), font, DeepDivingStatusView::text());
            const qreal x0 = -2 * w + view->gradientTranslation();
            QLinearGradient gradient(QPointF(x0, 0), QPointF(x0 + 3 * w, 0));
            gradient.setColorAt(0.0, QColor(65, 118, 230));
            gradient.setColorAt(0.36, QColor(65, 118, 230));
            gradient.setColorAt(0.5, QColor(211, 226, 255));
            gradient.setColorAt(0.64, QColor(65, 118, 230));
            gradient.setColorAt(1.0, QColor(65, 118, 230));
            painter.fillPath(glyphs, gradient);
            return image;
        };
        const auto verifyDrawn = [&] {
            const QImage drawn = view->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
            const QImage reference = expected();
            QCOMPARE(drawn.size(), reference.size());
            int inked = 0;
            for (int y = 0; y < drawn.height(); ++y) {
                for (int x = 0; x < drawn.width(); ++x) {
                    const QRgb a = drawn.pixel(x, y);
                    const QRgb b = reference.pixel(x, y);
                    const int off = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                              std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
                    QVERIFY2(off <= 3, qPrintable(u"pixel %1,%2 differs by %3"_s.arg(x).arg(y).arg(off)));
                    inked += qAlpha(b) > 128 ? 1 : 0;
                }
            }
            QVERIFY(inked > 100);
        };
        verifyDrawn();
        // Wider, the band rests elsewhere and the outline is filled again at the new size.
        view->resize(view->width() + 40, view->height() + 6);
        QCOMPARE(view->gradientTranslation(), qreal(view->width()));
        verifyDrawn();
    }

    void widthChangeRebuildsTheSweep()
    {
        QWidget window;
        auto *view = new DeepDivingStatusView(&window);
        view->resize(view->sizeHint());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int w = view->width();
        QCOMPARE(view->animatedWidth(), qreal(w));
        view->resize(w + 1, view->height());
        QVERIFY(view->isAnimating());
        QCOMPARE(view->animatedWidth(), qreal(w + 1));
        view->resize(w + 1, view->height() + 4); // height only: the running sweep stays
        QCOMPARE(view->animatedWidth(), qreal(w + 1));
    }

    void blinkingCursorFadesUnlessMotionIsReduced_data()
    {
        QTest::addColumn<bool>("reduce");
        QTest::newRow("motion") << false;
        QTest::newRow("reduced") << true;
    }

    void blinkingCursorFadesUnlessMotionIsReduced()
    {
        QFETCH(bool, reduce);
        Motion::setReduceMotion(reduce);
        BlinkingCursor cursor;
        cursor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&cursor));
        QCOMPARE(cursor.isAnimating(), !reduce);
        if (reduce) {
            QCOMPARE(cursor.opacity(), 1.0);
        } else {
            QTRY_VERIFY(cursor.opacity() < 0.9);
        }
        cursor.hide();
        QVERIFY(!cursor.isAnimating());
    }

    // Each 0.55 s half of the blink eases in and out: the cursor slows into invisible and out
    // of it again, and is fully shown at the start and end of every 1.1 s cycle.
    void blinkingCursorEasesIntoEachTurn_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<qreal>("low");
        QTest::addColumn<qreal>("high");
        QTest::newRow("start") << 0 << 1.0 << 1.0;
        QTest::newRow("half way out") << 275 << 0.45 << 0.55;
        QTest::newRow("just before invisible") << 530 << 0.0 << 0.01;
        QTest::newRow("invisible") << 550 << 0.0 << 0.0;
        QTest::newRow("just after invisible") << 570 << 0.0 << 0.01;
        QTest::newRow("half way in") << 825 << 0.45 << 0.55;
        QTest::newRow("just before fully shown") << 1080 << 0.99 << 1.0;
    }

    void blinkingCursorEasesIntoEachTurn()
    {
        QFETCH(int, ms);
        QFETCH(qreal, low);
        QFETCH(qreal, high);
        BlinkingCursor cursor;
        cursor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&cursor));
        auto *animation = cursor.findChild<QVariantAnimation *>();
        QVERIFY(animation);
        QCOMPARE(animation->duration(), 1100);
        animation->pause();
        animation->setCurrentTime(ms);
        QVERIFY2(cursor.opacity() >= low - 1e-9 && cursor.opacity() <= high + 1e-9,
                 qPrintable(QString::number(cursor.opacity())));
    }
};

NBD_GUI_TEST_MAIN(tst_DeepDivingStatus)
#include "tst_deepdivingstatus.moc"
