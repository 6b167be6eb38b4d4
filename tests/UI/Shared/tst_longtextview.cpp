// The view of text of unbounded length: only what shows is laid out, heights stay consistent as
// estimates give way to measures, and the text can be selected and copied with mouse and keys.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "ScrollBarDrag.h"

#include "UI/Shared/LongTextView.h"
#include "UI/Shared/Theme.h"

#include <QClipboard>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

QString numberedLines(int count, const QString &body)
{
    QStringList lines;
    lines.reserve(count);
    for (int i = 1; i <= count; ++i)
        lines << u"第 %1 行 "_s.arg(i) + body;
    return lines.join(u'\n');
}

// The view in a scroll area, as a card sits in the transcript: the view is as tall as its text
// and the area shows a window of it.
struct Scrolled
{
    QScrollArea area;
    LongTextView *view = new LongTextView;

    explicit Scrolled(const QString &text, bool wrap = true)
    {
        view->setFont(Fonts::monospaced(11));
        view->setWrapping(wrap);
        view->setText(text);
        area.setAccessibleName(u"文本"_s);
        area.setWidgetResizable(true);
        area.setWidget(view);
        area.resize(500, 400);
        area.show();
    }
};

} // namespace

class tst_LongTextView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void linesSplitAtLineFeeds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("lines");
        QTest::newRow("empty") << QString() << 1;
        QTest::newRow("one") << u"abc"_s << 1;
        QTest::newRow("final line feed") << u"a\nb\n"_s << 3;
        QTest::newRow("only line feeds") << u"\n\n"_s << 3;
        QTest::newRow("crlf stays in its line") << u"a\r\nb"_s << 2;
    }

    void linesSplitAtLineFeeds()
    {
        QFETCH(QString, text);
        QFETCH(int, lines);
        LongTextView view;
        view.setText(text);
        QCOMPARE(view.lineCount(), qsizetype(lines));
        // Every line takes room, an empty one too.
        const int one = [] {
            LongTextView single;
            single.setText(u"x"_s);
            return single.heightForWidth(300);
        }();
        QVERIFY(one > 0);
        QCOMPARE(view.heightForWidth(300), one * lines);
    }

    void onlyTheLinesOnScreenAreLaidOut()
    {
        Scrolled s(numberedLines(60000, u"compile src/module.cpp 通过检查，warning = 0"_s));
        QVERIFY(QTest::qWaitForWindowExposed(&s.area));
        QCOMPARE(s.view->lineCount(), qsizetype(60000));
        // Estimated at once for all lines: the area can scroll through the whole text.
        QVERIFY(s.view->height() > 60000 * 10);
        s.area.viewport()->repaint();
        const qsizetype atTop = s.view->laidOutLineCount();
        QVERIFY2(atTop > 0 && atTop < 100, qPrintable(QString::number(atTop)));

        // Far down: the lines there are laid out; what is kept stays bounded.
        QScrollBar *bar = s.area.verticalScrollBar();
        for (int step = 1; step <= 20; ++step) {
            bar->setValue(bar->maximum() * step / 20);
            s.area.viewport()->repaint();
        }
        QVERIFY2(s.view->laidOutLineCount() <= 400, qPrintable(QString::number(s.view->laidOutLineCount())));
        QVERIFY(s.view->laidOutLineCount() > 0);
        QVERIFY(QTest::qWaitFor([&] { return s.view->height() == s.view->heightForWidth(s.view->width()); }));
    }

    // A line of a megabyte without a break (minified data, one character under a hundred
    // thousand marks, emoji sequences) is laid out a piece at a time, and copies whole.
    void aHugeLineIsLaidOutInPieces_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("minified") << u"{\"key\":\"值\",\"n\":12345},"_s.repeated(40000);
        QTest::newRow("one character") << u"e"_s + QString(400000, QChar(0x0301));
        QTest::newRow("zwj families") << u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s.repeated(60000);
        QTest::newRow("flags") << u"x\U0001F1E8\U0001F1F3"_s.repeated(100000);
    }

    void aHugeLineIsLaidOutInPieces()
    {
        QFETCH(QString, line);
        Scrolled s(line);
        QVERIFY(QTest::qWaitForWindowExposed(&s.area));
        QVERIFY(s.view->lineCount() > 100);
        s.area.viewport()->repaint();
        QVERIFY2(s.view->laidOutLineCount() < 50, qPrintable(QString::number(s.view->laidOutLineCount())));
        s.view->setFocus();
        QTest::keyClick(s.view, Qt::Key_A, Qt::ControlModifier);
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(s.view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), line);
    }

    void measuredHeightsReplaceEstimatesConsistently()
    {
        // Lines that wrap at word boundaries take more rows than their width alone says.
        const QString word = u"abcdefghij "_s;
        LongTextView view;
        view.setFont(Fonts::monospaced(11));
        view.setText(numberedLines(300, word.repeated(30)));
        view.resize(480, 300);
        const int estimated = view.heightForWidth(480);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.repaint();
        const auto changes = view.takeHeightChanges();
        QVERIFY(!changes.empty());
        int grown = 0;
        int lastBottom = -1;
        for (const auto &[bottom, delta] : changes) {
            QVERIFY2(bottom > lastBottom, "changes are listed top to bottom");
            lastBottom = bottom;
            grown += delta;
        }
        QCOMPARE(view.heightForWidth(480), estimated + grown);
        QVERIFY(view.takeHeightChanges().empty());
        // A line of 30 words at 480 pixels takes several rows.
        LongTextView one;
        one.setFont(Fonts::monospaced(11));
        one.setText(u"x"_s);
        QVERIFY(view.heightForWidth(480) > 300 * one.heightForWidth(480));
    }

    void unwrappedLinesAreAsWideAsTheirText()
    {
        LongTextView view;
        view.setFont(Fonts::monospaced(11));
        view.setWrapping(false);
        view.setText(u"short\n"_s + u"x"_s.repeated(400) + u"\nshort"_s);
        const int lineHeight = [&] {
            LongTextView single;
            single.setFont(Fonts::monospaced(11));
            single.setText(u"x"_s);
            return single.heightForWidth(100);
        }();
        QCOMPARE(view.heightForWidth(100), 3 * lineHeight);
        QVERIFY(view.naturalWidth() >= QFontMetrics(Fonts::monospaced(11)).horizontalAdvance(u"x"_s.repeated(400)) - 2);
    }

    void dragSelectsAndCopyTakesTheSelection()
    {
        Scrolled s(u"first line\nsecond line\nthird line"_s, false);
        QVERIFY(QTest::qWaitForWindowExposed(&s.area));
        const int line = s.view->heightForWidth(s.view->width()) / 3;
        QTest::mousePress(s.view, Qt::LeftButton, {}, QPoint(0, line / 2));
        QTest::mouseMove(s.view, QPoint(s.view->width() - 1, line + line / 2));
        QTest::mouseRelease(s.view, Qt::LeftButton, {}, QPoint(s.view->width() - 1, line + line / 2));
        QCOMPARE(s.view->selectedText(), u"first line\nsecond line"_s);
        s.view->setFocus();
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(s.view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"first line\nsecond line"_s);

        QTest::keyClick(s.view, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(s.view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"first line\nsecond line\nthird line"_s);

        // A new text drops the selection.
        s.view->setText(u"other"_s);
        QVERIFY(s.view->selectedText().isEmpty());
        const QStringList problems = test::accessibilityProblems(&s.area);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        QCOMPARE(s.view->accessibleName(), u"other"_s);
    }

    // Hundreds of thousands of lines are taller than any widget can be: the view keeps a
    // bounded height and scrolls them itself, down to the last line, which selects and copies.
    void aTextTallerThanAWidgetScrollsItself()
    {
        QStringList lines;
        for (int i = 0; i < 900'000; ++i)
            lines << u"line %1"_s.arg(i);
        const QString text = lines.join(u'\n');
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *view = new LongTextView(text, Fonts::monospaced(11), std::nullopt, &window);
        view->setWrapping(false);
        layout->addWidget(view);
        layout->addStretch();
        window.resize(500, LongTextView::kScrollingHeight + 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(view->scrollsItself());
        QTRY_COMPARE(view->height(), LongTextView::kScrollingHeight);
        auto *bar = view->findChild<QScrollBar *>();
        QVERIFY(bar);
        QTRY_VERIFY(bar->isVisible() && bar->maximum() > 0);
        QCOMPARE(bar->geometry().right(), view->width() - 1);
        const QStringList problems = test::accessibilityProblems(&window);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));

        test::dragSliderToEnd(bar);
        QTRY_COMPARE(bar->value(), bar->maximum());
        view->repaint();
        QVERIFY2(view->laidOutLineCount() < 400, qPrintable(QString::number(view->laidOutLineCount())));
        // The last line stands at the bottom edge: a double click there takes its number.
        const int lineHeight = QFontMetrics(view->font()).height();
        const int x = QFontMetrics(view->font()).horizontalAdvance(u"line 89"_s);
        QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(x, view->height() - lineHeight / 2));
        QCOMPARE(view->selectedText(), u"899999"_s);
        view->setFocus();
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"899999"_s);

        // The wheel scrolls the text back up; at its top the wheel is left to what is around.
        const QPoint at = view->rect().center();
        QWheelEvent up(at, view->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(view, &up);
        QVERIFY(up.isAccepted());
        QVERIFY(bar->value() < bar->maximum());
        test::dragSliderToEnd(bar, false);
        QTRY_COMPARE(bar->value(), 0);
        QWheelEvent again(at, view->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(view, &again);
        QVERIFY(!again.isAccepted());
        QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(x, lineHeight / 2));
        QCOMPARE(view->selectedText(), u"0"_s);
    }

    void doubleClickSelectsAWord()
    {
        Scrolled s(u"alpha beta gamma"_s, false);
        QVERIFY(QTest::qWaitForWindowExposed(&s.area));
        const int x = QFontMetrics(s.view->font()).horizontalAdvance(u"alpha be"_s);
        QTest::mouseDClick(s.view, Qt::LeftButton, {}, QPoint(x, 5));
        QCOMPARE(s.view->selectedText(), u"beta"_s);
    }
};

NBD_GUI_TEST_MAIN(tst_LongTextView)
#include "tst_longtextview.moc"
