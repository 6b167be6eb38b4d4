// The box of lines behind the terminal, diff, read and search cards: a line of any length shows
// whole, in rows laid out only as they come into view, and copies as the one line it is; diff
// rows take their colours as they are scrolled to.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"

#include "UI/Shared/LineBox.h"
#include "UI/Conversation/ToolPresentationView.h"
#include "UI/Shared/Theme.h"

#include <QClipboard>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

constexpr qsizetype kPiece = LineBox::kPieceLength;

// A card shown in a window, as the transcript shows it.
struct Card
{
    QWidget window;
    ToolPresentationView *view = nullptr;

    explicit Card(const JSONValue &presentation)
    {
        auto *layout = new QVBoxLayout(&window);
        view = new ToolPresentationView({presentation, {}, {}, false}, &window);
        layout->addWidget(view);
        layout->addStretch();
        window.resize(640, 600);
        window.show();
    }
};

// Rows of the box whose layout is kept.
int laidOutRows(const LineBox *box)
{
    int count = 0;
    for (QTextBlock block = box->document()->begin(); block.isValid(); block = block.next())
        count += block.layout() && block.layout()->lineCount() > 0 ? 1 : 0;
    return count;
}

QString copied(QWidget *target, bool all)
{
    target->setFocus();
    if (all)
        QTest::keyClick(target, Qt::Key_A, Qt::ControlModifier);
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(target, Qt::Key_C, Qt::ControlModifier);
    return QGuiApplication::clipboard()->text();
}

// How many pixels in `rows` of `image` are ink of the colour family: strongly red or green.
int ink(const QImage &image, QRect rows, QChar family)
{
    int count = 0;
    rows = rows.intersected(image.rect());
    for (int y = rows.top(); y <= rows.bottom(); ++y) {
        for (int x = rows.left(); x <= rows.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const bool red = c.red() > 120 && c.red() - c.green() > 60;
            const bool green = c.green() > 90 && c.green() - c.red() > 40;
            count += (family == u'-' ? red : green) ? 1 : 0;
        }
    }
    return count;
}

} // namespace

class tst_LineBox : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void longLinesTakeRowsAndCopyWhole_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("rows");
        const QString x = u"x"_s;
        QTest::newRow("no lines") << QStringList{} << 1;
        QTest::newRow("one empty line") << QStringList{QString()} << 1;
        QTest::newRow("short lines") << QStringList{u"a"_s, QString(), u"b"_s} << 3;
        QTest::newRow("exactly one piece") << QStringList{x.repeated(kPiece)} << 1;
        QTest::newRow("one past a piece") << QStringList{x.repeated(kPiece + 1)} << 2;
        QTest::newRow("pieces between short lines")
            << QStringList{u"head"_s, u"配置"_s.repeated(kPiece + 1), QString(), u"tail"_s} << 1 + 3 + 1 + 1;
        // The cut would fall between the halves of an emoji: the pair stays in one row.
        QTest::newRow("surrogate pair at the cut") << QStringList{x.repeated(kPiece - 1) + u"😀"_s + x.repeated(10)} << 2;
        const QString log = u"日志 line, "_s.repeated(30000);
        QTest::newRow("filled away") << QStringList{log} << int((log.size() + kPiece - 1) / kPiece);
    }

    void longLinesTakeRowsAndCopyWhole()
    {
        QFETCH(QStringList, lines);
        QFETCH(int, rows);
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *box = new LineBox(11, &window);
        box->setAccessibleName(u"输出"_s);
        box->setLines(lines);
        box->setHeightBounds(44, 260);
        layout->addWidget(box);
        window.resize(500, 320);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(box->isFilled());
        QCOMPARE(box->lines(), lines);
        QCOMPARE(box->blockCount(), rows);
        for (QTextBlock block = box->document()->begin(); block.isValid(); block = block.next()) {
            const QString text = block.text();
            QVERIFY2(text.size() <= kPiece + 1, qPrintable(QString::number(text.size())));
            QVERIFY(text.isEmpty() || !text.back().isHighSurrogate());
        }
        // Each row takes room in the box, the rows of a long line too.
        QVERIFY(box->contentHeight() >= rows * QFontMetrics(box->font()).height());
        QCOMPARE(copied(box, true), lines.join(u'\n'));
        QVERIFY2(test::accessibilityProblems(&window).isEmpty(), qPrintable(test::accessibilityProblems(&window).join(u'\n')));
    }

    // A terminal's output of megabytes in one line: the box lays out only the rows near what
    // shows, the keyboard reaches the end of the line, and a selection across rows copies
    // without breaks.
    void theEndOfAHugeLineIsReachable()
    {
        QString line;
        for (int i = 0; line.size() < 2'000'000; ++i)
            line += u"第 %1 段：编译 src/module_%2.cpp 通过，"_s.arg(i).arg(i % 97);
        Card card(JSONValue::object({{u"card"_s, u"terminal"_s}, {u"cwd"_s, u"/srv"_s}, {u"output"_s, line}}));
        QVERIFY(QTest::qWaitForWindowExposed(&card.window));
        auto *box = card.view->findChild<LineBox *>(u"tool-card-output"_s);
        QVERIFY(box);
        QTRY_VERIFY(box->isFilled());
        QCOMPARE(box->lines(), QStringList{line});
        const int rows = box->blockCount();
        QVERIFY(rows >= line.size() / kPiece);
        box->viewport()->repaint();
        QVERIFY2(laidOutRows(box) < 40, qPrintable(QString::number(laidOutRows(box))));

        QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QTest::keyClick(box, Qt::Key_End, Qt::ControlModifier);
        QScrollBar *down = box->verticalScrollBar();
        QTRY_VERIFY(down->maximum() > 0 && down->value() == down->maximum());
        QTRY_VERIFY(box->viewport()->rect().contains(box->cursorRect().center()));
        box->viewport()->repaint();
        QVERIFY2(laidOutRows(box) < 100, qPrintable(QString::number(laidOutRows(box))));
        QVERIFY(box->document()->lastBlock().layout()->lineCount() > 0);

        // From the line's end back over the last row and into the one above.
        QTest::keyClick(box, Qt::Key_Home, Qt::ShiftModifier);
        QTest::keyClick(box, Qt::Key_Up, Qt::ShiftModifier);
        const QString tail = copied(box, false);
        const qsizetype lastRow = box->document()->lastBlock().text().size();
        QVERIFY2(tail.size() > lastRow, qPrintable(QString::number(tail.size())));
        QCOMPARE(tail, line.right(tail.size()));
        QCOMPARE(copied(box, true), line);
    }

    // A dragged selection over the rows of a long line, in a read card: the copy joins them,
    // and only a line's first row carries its number.
    void aLongLineIsNumberedOnceAndDragsAcrossRows()
    {
        const QString long_ = u"abcdefghij"_s.repeated(int(kPiece / 10) * 2 + 5);
        JSONValue::Elements lines;
        lines.push_back(JSONValue::object({{u"number"_s, JSONValue(7)}, {u"text"_s, u"short"_s}}));
        lines.push_back(JSONValue::object({{u"number"_s, JSONValue(8)}, {u"text"_s, long_}}));
        lines.push_back(JSONValue::object({{u"number"_s, JSONValue(9)}, {u"text"_s, u"end"_s}}));
        Card card(JSONValue::object({{u"card"_s, u"read"_s}, {u"path"_s, u"a.txt"_s}, {u"lines"_s, JSONValue::array(std::move(lines))}}));
        QVERIFY(QTest::qWaitForWindowExposed(&card.window));
        auto *box = card.view->findChild<LineBox *>(u"tool-card-read-lines"_s);
        QVERIFY(box);
        QTRY_VERIFY(box->isVisible() && box->width() > 100);
        QCOMPARE(box->blockCount(), 1 + 3 + 1);
        QCOMPARE(box->lineOfBlock(3), 1);
        QCOMPARE(box->lineOfBlock(4), 2);

        // Rows of 17 pixels below a top padding of 5; the numbers stand in a 42-pixel column.
        const QImage drawn = box->grab().toImage();
        const auto numberInk = [&](int row) {
            int count = 0;
            for (int y = 5 + 17 * row + 2; y < 5 + 17 * (row + 1) - 2; ++y)
                for (int x = 0; x < 42; ++x)
                    count += qAlpha(drawn.pixel(x, y)) > 40 ? 1 : 0;
            return count;
        };
        QList<int> numbered;
        for (int row = 0; row < 5; ++row)
            numbered << (numberInk(row) > 0 ? 1 : 0);
        QCOMPARE(numbered, (QList<int>{1, 1, 0, 0, 1}));

        // From the start of the long line down into its third row.
        QWidget *rows = box->viewport();
        QTest::mousePress(rows, Qt::LeftButton, {}, QPoint(0, 17 + 8));
        QTest::mouseMove(rows, QPoint(30, 3 * 17 + 8));
        QTest::mouseRelease(rows, Qt::LeftButton, {}, QPoint(30, 3 * 17 + 8));
        const QString selected = copied(box, false);
        QVERIFY2(selected.size() > 2 * kPiece, qPrintable(QString::number(selected.size())));
        QCOMPARE(selected, long_.left(selected.size()));
    }

    // A diff of many lines: the rows on screen have the colour of their half, wherever the box
    // is scrolled to; rows never shown are not coloured (nor laid out) ahead of time.
    void diffRowsAreColouredWhereScrolledTo()
    {
        QStringList removed;
        for (int i = 0; i < 6000; ++i)
            removed << u"old %1"_s.arg(i);
        const QString added = u"new 1\nnew 2\nnew 3"_s;
        Card card(JSONValue::object(
            {{u"card"_s, u"diff"_s},
             {u"diffs"_s, JSONValue::array({JSONValue::object(
                              {{u"path"_s, u"a.ini"_s}, {u"oldText"_s, removed.join(u'\n')}, {u"newText"_s, added}})})}}));
        QVERIFY(QTest::qWaitForWindowExposed(&card.window));
        auto *box = card.view->findChild<LineBox *>(u"tool-card-diff-lines"_s);
        QVERIFY(box);
        QTRY_VERIFY(box->isFilled() && box->isVisible());
        QCOMPARE(box->blockCount(), 6003);

        const QColor red = Theme::systemRed();
        const QColor green = Theme::success();
        // The text colour each row on screen was given.
        const auto shownColours = [&] {
            QStringList colours;
            QWidget *rows = box->viewport();
            const QTextBlock last = box->cursorForPosition(QPoint(0, rows->height() - 1)).block();
            for (QTextBlock block = box->cursorForPosition(QPoint(0, 0)).block(); block.isValid(); block = block.next()) {
                const QList<QTextLayout::FormatRange> formats = block.layout()->formats();
                const QColor c = formats.isEmpty() ? QColor() : formats.front().format.foreground().color();
                colours << (c == red ? u"-"_s : c == green ? u"+"_s : u"?"_s);
                if (block == last)
                    break;
            }
            return colours;
        };
        box->viewport()->repaint();
        QStringList top = shownColours();
        QVERIFY(top.size() >= 10);
        QVERIFY2(top.join(QString()) == u"-"_s.repeated(top.size()), qPrintable(top.join(QString())));
        const QImage atTop = box->viewport()->grab().toImage();
        QVERIFY(ink(atTop, atTop.rect(), u'-') > 20);
        QCOMPARE(ink(atTop, atTop.rect(), u'+'), 0);
        // Far below the viewport nothing was coloured yet.
        QVERIFY(box->document()->findBlockByNumber(3000).layout()->formats().isEmpty());

        QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QTest::keyClick(box, Qt::Key_End, Qt::ControlModifier);
        QScrollBar *down = box->verticalScrollBar();
        QTRY_VERIFY(down->maximum() > 0 && down->value() == down->maximum());
        box->viewport()->repaint();
        const QStringList end = shownColours();
        QVERIFY(end.size() >= 10);
        // The last three rows are the added lines, the ones above them removed ones.
        const QString expected = u"-"_s.repeated(end.size() - 3) + u"+++"_s;
        QCOMPARE(end.join(QString()).right(expected.size()), expected);
        const QImage atEnd = box->viewport()->grab().toImage();
        const int lastRows = box->viewport()->height() - 3 * 17;
        QVERIFY(ink(atEnd, QRect(0, lastRows + 2, atEnd.width(), 3 * 17 - 4), u'+') > 20);
        QVERIFY(ink(atEnd, QRect(0, 0, atEnd.width(), lastRows - 2), u'-') > 20);
        QVERIFY(box->document()->findBlockByNumber(3000).layout()->formats().isEmpty());
    }
};

NBD_GUI_TEST_MAIN(tst_LineBox)
#include "tst_linebox.moc"
