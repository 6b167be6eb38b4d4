#include "AccessibilityWalk.h"
#include "GuiTestMain.h"

#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

// The walk every view test relies on: it must find what a screen reader would miss.
class tst_AccessibilityWalk : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void findsUnnamedControlsAndMarkup()
    {
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *named = new QPushButton(QStringLiteral("发送"), &window);
        auto *iconOnly = new QToolButton(&window);
        iconOnly->setObjectName(QStringLiteral("icon-only"));
        auto *field = new QLineEdit(&window);
        field->setObjectName(QStringLiteral("field"));
        auto *hidden = new QToolButton(&window);
        hidden->setObjectName(QStringLiteral("hidden"));
        auto *marked = new QPushButton(QStringLiteral("好"), &window);
        marked->setToolTip(QStringLiteral("<p>提示</p>"));
        for (QWidget *w : {static_cast<QWidget *>(named), static_cast<QWidget *>(iconOnly), static_cast<QWidget *>(field),
                           static_cast<QWidget *>(hidden), static_cast<QWidget *>(marked)})
            layout->addWidget(w);
        window.show();
        hidden->hide();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QStringList problems = nbd::test::accessibilityProblems(&window);
        // The tooltip is caught twice: as a tooltip and as the description it becomes.
        QVERIFY2(problems.size() == 4, qPrintable(problems.join(u'\n')));
        QVERIFY(problems.filter(QStringLiteral("icon-only")).size() == 1);
        QVERIFY(problems.filter(QStringLiteral("field")).size() == 1);
        QVERIFY(problems.filter(QStringLiteral("markup in the")).size() == 2);

        iconOnly->setAccessibleName(QStringLiteral("新建会话"));
        field->setAccessibleName(QStringLiteral("搜索"));
        marked->setToolTip(QStringLiteral("提示"));
        problems = nbd::test::accessibilityProblems(&window);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    }
};

NBD_GUI_TEST_MAIN(tst_AccessibilityWalk)
#include "tst_accessibilitywalk.moc"
