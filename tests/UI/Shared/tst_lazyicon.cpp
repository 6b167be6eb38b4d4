#include "UI/Shared/LazyIcon.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QtTest>

#include <functional>
#include <memory>

#include "GuiTestMain.h"

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

QPixmap square(QColor color, int side)
{
    QPixmap pixmap(side, side);
    pixmap.fill(color);
    return pixmap;
}

// An icon of two sizes, counting how often it is made.
QIcon countedIcon(std::shared_ptr<int> made)
{
    return lazyIcon([made] {
        ++*made;
        QIcon icon;
        icon.addPixmap(square(Qt::red, 16));
        icon.addPixmap(square(Qt::red, 32));
        return icon;
    });
}

using IconUse = std::function<void(const QIcon &)>;

} // namespace

Q_DECLARE_METATYPE(IconUse)

class tst_LazyIcon : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each way of asking an icon for something makes it, once; holding, copying and handing it
    // to an action make nothing.
    void madeOnFirstUse_data()
    {
        QTest::addColumn<IconUse>("use");
        QTest::newRow("pixmap") << IconUse([](const QIcon &icon) { QCOMPARE(icon.pixmap(16).width(), 16); });
        QTest::newRow("scaled pixmap") << IconUse([](const QIcon &icon) {
            QCOMPARE(icon.pixmap(QSize(16, 16), 2.0).deviceIndependentSize().toSize(), QSize(16, 16));
        });
        QTest::newRow("sizes") << IconUse([](const QIcon &icon) {
            QCOMPARE(icon.availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
        });
        QTest::newRow("actual size") << IconUse([](const QIcon &icon) { QCOMPARE(icon.actualSize({64, 64}), QSize(32, 32)); });
        QTest::newRow("null") << IconUse([](const QIcon &icon) { QVERIFY(!icon.isNull()); });
        QTest::newRow("paint") << IconUse([](const QIcon &icon) {
            QImage target(16, 16, QImage::Format_ARGB32);
            target.fill(Qt::transparent);
            QPainter painter(&target);
            icon.paint(&painter, QRect(0, 0, 16, 16));
            painter.end();
            QCOMPARE(target.pixelColor(8, 8), QColor(Qt::red));
        });
    }

    void madeOnFirstUse()
    {
        QFETCH(IconUse, use);
        auto made = std::make_shared<int>(0);
        const QIcon icon = countedIcon(made);
        const QIcon copy = icon;
        QAction action;
        action.setIcon(copy);
        QCOMPARE(*made, 0);
        use(icon);
        QCOMPARE(*made, 1);
        // The copies share what was made.
        use(copy);
        use(action.icon());
        QCOMPARE(*made, 1);
    }

    void emptyIconStaysNull()
    {
        const QIcon icon = lazyIcon([] { return QIcon(); });
        QVERIFY(icon.isNull());
        QVERIFY(icon.pixmap(16).isNull());
        QVERIFY(icon.availableSizes().isEmpty());
        QVERIFY(lazyIcon({}).isNull());
    }

    // The application's style hands out Qt's stock icons made late: they are the desktop
    // style's own pixels.
    void stockIconsAreTheDesktopStyles_data()
    {
        QTest::addColumn<QStyle::StandardPixmap>("icon");
        QTest::newRow("menu bar overflow") << QStyle::SP_ToolBarHorizontalExtensionButton;
        QTest::newRow("clear field") << QStyle::SP_LineEditClearButton;
        QTest::newRow("warning") << QStyle::SP_MessageBoxWarning;
    }

    void stockIconsAreTheDesktopStyles()
    {
        QFETCH(QStyle::StandardPixmap, icon);
        const auto *proxy = qobject_cast<const QProxyStyle *>(QApplication::style());
        const QString name = proxy ? proxy->baseStyle()->name() : QApplication::style()->name();
        const std::unique_ptr<QStyle> desktop(QStyleFactory::create(name));
        QVERIFY(desktop);
        const QIcon shipped = QApplication::style()->standardIcon(icon);
        const QIcon reference = desktop->standardIcon(icon);
        QVERIFY(!shipped.isNull());
        QCOMPARE(shipped.pixmap(16).toImage(), reference.pixmap(16).toImage());
    }

    // An icon asked for a widget that is gone before the icon is first drawn is still made.
    void stockIconOutlivesItsWidget()
    {
        auto *field = new QLineEdit;
        const QIcon icon = field->style()->standardIcon(QStyle::SP_LineEditClearButton, nullptr, field);
        delete field;
        QVERIFY(!icon.pixmap(16).isNull());
    }
};

NBD_GUI_TEST_MAIN(tst_LazyIcon)
#include "tst_lazyicon.moc"
