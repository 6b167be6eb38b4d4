// The one-line label: what it draws at a given width, what it asks of a layout, and that its
// colour can follow the theme.
#include "GuiTestMain.h"
#include "RenderedWidget.h"

#include "UI/Shared/ElidedLabel.h"

#include <QHBoxLayout>

using namespace nbd;
using test::paintsNear;
using test::rendered;
using namespace Qt::Literals::StringLiterals;

class tst_ElidedLabel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cutsWhatDoesNotFit_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("text");
        const QString path = u"/home/user/projects/nimbrel/src/UI/Shared/ElidedLabel.cpp"_s;
        QTest::newRow("end") << int(Qt::ElideRight) << path;
        QTest::newRow("middle") << int(Qt::ElideMiddle) << path;
        QTest::newRow("chinese") << int(Qt::ElideRight) << u"整理发布说明并核对每一项变更的测试覆盖情况"_s;
    }

    void cutsWhatDoesNotFit()
    {
        QFETCH(int, mode);
        QFETCH(QString, text);
        QWidget window;
        auto *row = new QHBoxLayout(&window);
        row->setContentsMargins(0, 0, 0, 0);
        auto *label = new ElidedLabel(text, Qt::TextElideMode(mode), &window);
        label->setObjectName(u"label"_s);
        row->addWidget(label, 1);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(label->accessibleName(), text);

        // Given all it asks for, the whole text shows.
        window.resize(label->sizeHint().width(), label->sizeHint().height());
        QTRY_COMPARE(label->width(), label->sizeHint().width());
        QCOMPARE(label->shownText(), text);

        // Squeezed, it keeps what fits and marks the cut where the mode says.
        window.resize(label->sizeHint().width() / 2, label->sizeHint().height());
        QTRY_COMPARE(label->width(), label->sizeHint().width() / 2);
        const QString shown = label->shownText();
        QVERIFY(shown.size() < text.size());
        QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->width());
        if (mode == Qt::ElideRight) {
            QVERIFY(shown.endsWith(u'…'));
            QVERIFY(text.startsWith(shown.chopped(1)));
        } else {
            const qsizetype cut = shown.indexOf(u'…');
            QVERIFY(cut > 0 && cut < shown.size() - 1);
            QVERIFY(text.startsWith(shown.left(cut)));
            QVERIFY(text.endsWith(shown.mid(cut + 1)));
        }
        // The layout may not take it below room for the mark.
        window.resize(1, label->sizeHint().height());
        QTRY_VERIFY(label->width() >= label->minimumSizeHint().width());
        QVERIFY(label->minimumSizeHint().width() > 0);
        QCOMPARE(label->accessibleName(), text);
    }

    // Of a text no line can show whole the label keeps the part its mode shows, cut between
    // characters: the start, the end, or both around one mark.
    void keepsWhatALineCanShow_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("text");
        // Emoji (two units each) after an odd start: a cut by units alone would split one.
        const QString emoji = u"x"_s + u"😀"_s.repeated(600000);
        QTest::newRow("end") << int(Qt::ElideRight) << (u"头"_s + QString(1000000, u'x') + u"尾"_s);
        QTest::newRow("start") << int(Qt::ElideLeft) << (u"头"_s + QString(1000000, u'x') + u"尾"_s);
        QTest::newRow("middle") << int(Qt::ElideMiddle) << (u"头"_s + QString(1000000, u'x') + u"尾"_s);
        QTest::newRow("emoji end") << int(Qt::ElideRight) << emoji;
        QTest::newRow("emoji start") << int(Qt::ElideLeft) << emoji;
        QTest::newRow("emoji middle") << int(Qt::ElideMiddle) << emoji;
        // One character of a hundred thousand units: cut between its code points.
        QTest::newRow("combining end") << int(Qt::ElideRight) << (u"e"_s + QString(100000, QChar(0x0301)));
        QTest::newRow("combining middle") << int(Qt::ElideMiddle) << (u"e"_s + QString(100000, QChar(0x0301)));
    }

    void keepsWhatALineCanShow()
    {
        QFETCH(int, mode);
        QFETCH(QString, text);
        ElidedLabel label(text, Qt::TextElideMode(mode));
        const QString kept = label.text();
        QVERIFY2(kept.size() <= kRowText + 2, qPrintable(QString::number(kept.size())));
        QCOMPARE(kept.count(u'…'), 1);
        QCOMPARE(label.accessibleName(), kept);
        const qsizetype mark = kept.indexOf(u'…');
        if (mode != Qt::ElideLeft)
            QVERIFY(mark > 0 && text.startsWith(kept.left(mark)));
        if (mode != Qt::ElideRight)
            QVERIFY(mark < kept.size() - 1 && text.endsWith(kept.mid(mark + 1)));
        for (qsizetype i = 0; i < kept.size(); ++i) {
            QVERIFY(!kept[i].isLowSurrogate() || (i > 0 && kept[i - 1].isHighSurrogate()));
            QVERIFY(!kept[i].isHighSurrogate() || (i + 1 < kept.size() && kept[i + 1].isLowSurrogate()));
        }
        label.setText(text);
        QCOMPARE(label.text(), kept);
    }

    void oneLineAndFollowsChanges()
    {
        ElidedLabel label(u"第一行\n第二行"_s);
        label.resize(400, 20);
        QCOMPARE(label.shownText(), u"第一行 第二行"_s);
        QCOMPARE(label.accessibleName(), u"第一行\n第二行"_s);
        QCOMPARE(label.sizeHint().height(), label.fontMetrics().height());

        const int before = label.sizeHint().width();
        label.setText(u"第一行 第二行 第三行"_s);
        QCOMPARE(label.accessibleName(), u"第一行 第二行 第三行"_s);
        QVERIFY(label.sizeHint().width() > before);

        // A larger font asks for more room.
        const QSize small = label.sizeHint();
        QFont font = label.font();
        font.setPixelSize(font.pixelSize() > 0 ? font.pixelSize() * 2 : 26);
        label.setFont(font);
        QVERIFY(label.sizeHint().width() > small.width());
        QVERIFY(label.sizeHint().height() > small.height());
    }

    void colourReadAtPaint()
    {
        ElidedLabel label(u"████████"_s);
        label.resize(label.sizeHint());
        label.setColor(QColor(Qt::red));
        QVERIFY(paintsNear(rendered(&label), Qt::red));

        // A colour given as a function is asked again at each paint.
        QColor current = Qt::blue;
        label.setColor([&current] { return current; });
        QVERIFY(paintsNear(rendered(&label), Qt::blue));
        current = Qt::green;
        const QImage image = rendered(&label);
        QVERIFY(paintsNear(image, Qt::green));
        QVERIFY(!paintsNear(image, Qt::blue));
    }
};

NBD_GUI_TEST_MAIN(tst_ElidedLabel)
#include "tst_elidedlabel.moc"
