#include "AccessibilityWalk.h"
#include "GuiTestMain.h"

#include "UI/Shared/CardWidgets.h"
#include "UI/Shared/LineBox.h"
#include "UI/Conversation/ToolPresentationView.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/Theme.h"

#include <QAbstractButton>
#include <QAbstractTextDocumentLayout>
#include <QLabel>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

ToolCardInput input(const QByteArray &presentation, QString arguments = {}, std::optional<QString> result = std::nullopt,
                    bool isError = false)
{
    return {parseJSON(presentation), std::move(arguments), std::move(result), isError};
}

// A window with the link action installed, as the main window has it.
struct Window
{
    QWidget window;
    QVBoxLayout *layout;
    QList<QUrl> opened;

    Window()
    {
        layout = new QVBoxLayout(&window);
        layout->addStretch();
        LinkOpener::install(&window, [this](const QUrl &url) {
            opened << url;
            return true;
        });
        window.resize(640, 600);
    }

    ToolPresentationView *show(ToolCardInput in)
    {
        auto *view = new ToolPresentationView(std::move(in), &window);
        layout->insertWidget(layout->count() - 1, view);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return nullptr;
        return view;
    }
};

QList<QAbstractButton *> fileButtons(QWidget *view)
{
    return view->findChildren<QAbstractButton *>(u"tool-card-file"_s);
}

} // namespace

class tst_ToolPresentationView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void genericSectionsAndLocations()
    {
        Window w;
        ToolPresentationView *view = w.show(input(
            R"x({"rawInput":{"b":1,"a":"x/y"},"content":[{"type":"text","text":"done"}],)x"
            R"x("locations":[{"path":"a.txt","line":12},{"path":"/abs/b.txt"},{"line":3}]})x",
            {}, u"r"_s, true));
        QVERIFY(view);
        QVERIFY(view->findChild<QWidget *>(u"tool-card-generic"_s));
        const auto texts = view->findChildren<AutoHeightTextView *>(u"tool-card-section-text"_s);
        QCOMPARE(texts.size(), 2);
        QVERIFY(texts[0]->toPlainText().contains(u"x/y"_s));
        QCOMPARE(texts[1]->toPlainText(), u"done"_s);
        // A failed call colours every section, the input included.
        for (auto *t : texts)
            QCOMPARE(t->palette().color(QPalette::Text), Theme::systemRed());
        QVERIFY(texts[0]->heightForWidth(400) > texts[1]->heightForWidth(400)); // whole JSON shown

        const auto buttons = fileButtons(view);
        QCOMPARE(buttons.size(), 3);
        QCOMPARE(buttons[0]->text(), u"a.txt:12"_s);
        QCOMPARE(buttons[0]->toolTip().contains(u"在侧栏打开"_s), true);
        QTest::mouseClick(buttons[0], Qt::LeftButton);
        QTest::mouseClick(buttons[1], Qt::LeftButton);
        QTest::mouseClick(buttons[2], Qt::LeftButton); // no path: nothing
        QCOMPARE(w.opened.size(), 2);
        QVERIFY(w.opened[0].isRelative());
        QCOMPARE(w.opened[0].path(), u"a.txt"_s);
        QCOMPARE(w.opened[1], QUrl::fromLocalFile(u"/abs/b.txt"_s));

        // Keyboard reaches and presses a location too.
        buttons[1]->setFocus();
        QTest::keyClick(buttons[1], Qt::Key_Space);
        QCOMPARE(w.opened.size(), 3);
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    void terminal()
    {
        Window w;
        ToolPresentationView *view = w.show(input(R"({"card":"terminal","output":"","exitCode":0,"cwd":"/tmp/x"})", {}, u"r"_s));
        QVERIFY(view);
        auto *output = view->findChild<LineBox *>(u"tool-card-output"_s);
        QVERIFY(output);
        QCOMPARE(output->toPlainText(), QString());
        QCOMPARE(output->height(), 44);
        auto *status = view->findChild<QLabel *>(u"tool-card-status"_s);
        QCOMPARE(status->text(), u"exit 0"_s);
        QCOMPARE(status->palette().color(QPalette::WindowText), Theme::success());
        QCOMPARE(view->findChild<ElidedLabel *>(u"tool-card-cwd"_s)->text(), u"/tmp/x"_s);

        // Long output scrolls inside a box of at most 260.
        QStringList lines;
        for (int i = 0; i < 500; ++i)
            lines << u"line %1"_s.arg(i);
        view->setInput(input(QByteArray(R"x({"card":"terminal","signal":"SIGKILL","output":")x") + lines.join(u"\\n"_s).toUtf8() + "\"}"));
        output = view->findChild<LineBox *>(u"tool-card-output"_s);
        QTRY_COMPARE(output->height(), 260);
        QCOMPARE(output->blockCount(), 500);
        status = view->findChild<QLabel *>(u"tool-card-status"_s);
        QCOMPARE(status->text(), u"SIGKILL"_s);
        QCOMPARE(status->palette().color(QPalette::WindowText), Theme::systemRed());

        // The output can be selected and copied with the keyboard.
        output->setFocus();
        QTest::keyClick(output, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(output->textCursor().selectedText().size(), lines.join(QChar::ParagraphSeparator).size());
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    void diff()
    {
        Window w;
        ToolPresentationView *view = w.show(input(
            R"({"card":"diff","diffs":[{"path":"src/a.c","oldText":"a\nb\nc","newText":"a\nB\nc"},{"newText":"x\n"}]})"));
        QVERIFY(view);
        const auto boxes = view->findChildren<LineBox *>(u"tool-card-diff-lines"_s);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0]->lines(), (QStringList{u"- a"_s, u"- b"_s, u"- c"_s, u"+ a"_s, u"+ B"_s, u"+ c"_s}));
        QCOMPARE(boxes[1]->lines(), (QStringList{u"+ x"_s, u"+ "_s}));

        const auto headers = fileButtons(view);
        QCOMPARE(headers.size(), 2);
        QCOMPARE(headers[1]->text(), u"文件"_s);
        QTest::mouseClick(headers[1], Qt::LeftButton); // no path: nothing opens
        QVERIFY(w.opened.isEmpty());
        QTest::mouseClick(headers[0], Qt::LeftButton);
        QCOMPARE(w.opened.size(), 1);
        QCOMPARE(w.opened[0].path(), u"src/a.c"_s);
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    // Diff lines stand in 17-pixel rows whose tint runs from the box's left edge to its right,
    // through the padding; the lines of a read stand in rows of the same height.
    void linesStandInFullWidthRows()
    {
        Window w;
        ToolPresentationView *view = w.show(input(R"({"card":"diff","diffs":[{"path":"a","oldText":"a\nb","newText":"c"}]})"));
        QVERIFY(view);
        auto *box = view->findChild<LineBox *>(u"tool-card-diff-lines"_s);
        QVERIFY(box);
        QTRY_VERIFY(box->isVisible() && box->width() > 100 && !box->verticalScrollBar()->isVisible());
        QVERIFY2(box->height() >= 3 * 17, qPrintable(QString::number(box->height())));
        const QImage drawn = box->grab().toImage();
        // The tint of a row at a column: red for a removed line, green for an added one.
        auto tint = [&](int x, int y) {
            const QColor c = drawn.pixelColor(x, y);
            if (c.red() - c.green() > 3)
                return u'-';
            return c.green() - c.red() > 3 ? u'+' : u'0';
        };
        const QList<int> columns{0, 3, box->width() / 2, box->width() - 4, box->width() - 1};
        for (int x : columns) {
            QString rows;
            for (int y : {1, 15, 18, 32, 35, 49})
                rows += tint(x, y);
            QVERIFY2(rows == u"----++"_s, qPrintable(u"column %1: %2"_s.arg(x).arg(rows)));
        }

        view->setInput(input(R"({"card":"read","path":"m.c","lines":[{"number":1,"text":"XXXX"},{"number":2,"text":"XXXX"}]})"));
        auto *lines = view->findChild<LineBox *>(u"tool-card-read-lines"_s);
        QVERIFY(lines);
        // Both rows fit: no scroll bar once the box has settled.
        QTRY_VERIFY(lines->isVisible() && lines->width() > 100 && !lines->verticalScrollBar()->isVisible());
        QVERIFY2(lines->height() >= 5 + 2 * 17 + 5, qPrintable(QString::number(lines->height())));
        // The ink of each line (the box has no background of its own) lies inside its own row,
        // below the 5-pixel top padding.
        const QImage read = lines->grab().toImage();
        auto inkRows = [&](int top, int bottom) {
            int count = 0;
            for (int y = top; y < bottom; ++y) {
                for (int x = 0; x < read.width(); ++x) {
                    if (qAlpha(read.pixel(x, y)) > 100) {
                        ++count;
                        break;
                    }
                }
            }
            return count;
        };
        QVERIFY(inkRows(5, 5 + 17) > 3);
        QVERIFY(inkRows(5 + 17, 5 + 34) > 3);
        // Each row's text is centred: no ink at the row's very top and bottom pixels.
        QCOMPARE(inkRows(5 + 17, 5 + 18), 0);
        QCOMPARE(inkRows(5 + 16, 5 + 17), 0);
    }

    // Chinese in a Latin monospaced font comes from a taller fallback font: every line still
    // shows whole, without a scroll bar.
    void linesInAFallbackFontFit()
    {
        Window w;
        ToolPresentationView *view = w.show(input(
            "{\"card\":\"diff\",\"diffs\":[{\"path\":\"a.ini\",\"newText\":\"; 配置示例\\nkey = value\\n说明 = 中文\\n\"}]}"));
        QVERIFY(view);
        auto *box = view->findChild<LineBox *>(u"tool-card-diff-lines"_s);
        QVERIFY(box);
        QCOMPARE(box->lines().size(), 4);
        QTRY_VERIFY(box->isVisible());
        qreal content = 0;
        for (QTextBlock block = box->document()->begin(); block.isValid(); block = block.next())
            content += box->document()->documentLayout()->blockBoundingRect(block).height();
        QVERIFY2(content <= box->viewport()->height(),
                 qPrintable(QString::number(content) + u" > "_s + QString::number(box->viewport()->height())));
        QCOMPARE(box->verticalScrollBar()->maximum(), 0);
    }

    void hugeDiffIsOneTextWidget()
    {
        QString text;
        for (int i = 0; i < 100'000; ++i)
            text += u"line "_s + QString::number(i) + u'\n';
        const JSONValue presentation = JSONValue::object(
            {{u"card"_s, JSONValue(u"diff"_s)},
             {u"diffs"_s, JSONValue::array({JSONValue::object({{u"path"_s, JSONValue(u"big.txt"_s)}, {u"newText"_s, JSONValue(text)}})})}});
        Window w;
        ToolPresentationView *view = w.show({presentation, {}, {}, false});
        QVERIFY(view);
        auto *box = view->findChild<LineBox *>(u"tool-card-diff-lines"_s);
        // Filled away from the window's thread, then shown whole.
        QTRY_VERIFY(box->isFilled());
        QCOMPARE(box->blockCount(), 100'001);
        QCOMPARE(box->document()->lastBlock().previous().text(), u"+ line 99999"_s);
        // The document filled away keeps the rows of a diff.
        QCOMPARE(box->document()->documentLayout()->blockBoundingRect(box->document()->begin()).height(), 17.0);
        QCOMPARE(box->height(), 240);
        QVERIFY(view->findChildren<QWidget *>().size() < 30);
    }

    void searchAndRead()
    {
        Window w;
        ToolPresentationView *view = w.show(input(R"({"card":"search","shape":"paths","paths":["a/b*c_d.txt",3],"total":12,"truncated":true})"));
        QVERIFY(view);
        auto *count = view->findChild<QLabel *>(u"tool-card-count"_s);
        QCOMPARE(count->text(), u"显示部分结果 · 共 12 项"_s);
        QCOMPARE(count->palette().color(QPalette::WindowText), Theme::warning());
        auto buttons = fileButtons(view);
        QCOMPARE(buttons.size(), 2);
        QCOMPARE(buttons[0]->text(), u"a/b*c_d.txt"_s);
        QTest::mouseClick(buttons[1], Qt::LeftButton); // a number: empty path, nothing
        QTest::mouseClick(buttons[0], Qt::LeftButton);
        QCOMPARE(w.opened.size(), 1);
        QCOMPARE(w.opened[0].path(), u"a/b*c_d.txt"_s);

        view->setInput(input(R"({"card":"search","total":3,"files":[{"path":"x.c","matches":[{"lineNumber":4,"line":"hit"},{"line":"no number"}]}]})"));
        auto *matches = view->findChild<LineBox *>(u"tool-card-matches"_s);
        QVERIFY(matches);
        QCOMPARE(matches->lines(), (QStringList{u"hit"_s, u"no number"_s}));
        QCOMPARE(matches->numbers(), (std::vector<qint64>{4, 0}));
        QCOMPARE(view->findChild<QLabel *>(u"tool-card-count"_s)->palette().color(QPalette::WindowText), Theme::secondaryText());
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));

        view->setInput(input(R"({"card":"read","path":"/src/main.c","totalLines":300,"lines":[{"number":10,"text":"int main() {"},{"number":11,"text":"}"}]})"));
        QCOMPARE(view->findChild<QLabel *>(u"tool-card-count"_s)->text(), u"2 / 300 行"_s);
        auto *lines = view->findChild<LineBox *>(u"tool-card-read-lines"_s);
        QCOMPARE(lines->numbers(), (std::vector<qint64>{10, 11}));
        buttons = fileButtons(view);
        QCOMPARE(buttons.size(), 1);
        QTest::mouseClick(buttons[0], Qt::LeftButton);
        QCOMPARE(w.opened.last(), QUrl::fromLocalFile(u"/src/main.c"_s));
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    void web()
    {
        Window w;
        ToolPresentationView *view = w.show(input(R"({"card":"web","kind":"fetch","url":"https:\/\/example.org/a","statusCode":200,"truncated":true})"));
        QVERIFY(view);
        QCOMPARE(view->findChild<QLabel *>(u"tool-card-status"_s)->text(), u"HTTP 200"_s);
        QVERIFY(view->findChild<QLabel *>(u"tool-card-truncated"_s));
        QTest::mouseClick(view->findChild<QAbstractButton *>(u"tool-card-url"_s), Qt::LeftButton);
        QCOMPARE(w.opened, QList<QUrl>{QUrl(u"https://example.org/a"_s)});

        view->setInput(input(R"({"card":"web","kind":"fetch"})"));
        QTest::mouseClick(view->findChild<QAbstractButton *>(u"tool-card-url"_s), Qt::LeftButton); // empty: nothing
        QCOMPARE(w.opened.size(), 1);

        view->setInput(input(R"({"card":"web","answer":"答案","sources":[{"url":"https:\/\/a.org"},{},{"title":"T","url":"https:\/\/b.org","snippet":"s"}]})"));
        const auto sources = view->findChildren<QAbstractButton *>(u"tool-card-source"_s);
        QCOMPARE(sources.size(), 3);
        QCOMPARE(sources[0]->text(), u"https://a.org"_s);
        QCOMPARE(sources[1]->text(), u"来源"_s);
        QTRY_VERIFY(sources[2]->height() > sources[0]->height()); // the snippet line
        QTest::mouseClick(sources[1], Qt::LeftButton); // no address
        QTest::mouseClick(sources[2], Qt::LeftButton, {}, QPoint(sources[2]->width() - 4, 4)); // the gap is clickable too
        QCOMPARE(w.opened.last(), QUrl(u"https://b.org"_s));
        QCOMPARE(w.opened.size(), 2);
        QCOMPARE(view->findChild<AutoHeightTextView *>(u"tool-card-answer"_s)->toPlainText(), u"答案"_s);
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    void unchangedInputKeepsTheCard()
    {
        Window w;
        ToolPresentationView *view = w.show(input(R"({"card":"read","path":"a"})"));
        QVERIFY(view);
        QWidget *card = view->findChild<QWidget *>(u"tool-card-read"_s);
        view->setInput(input(R"({"card":"read","path":"a"})"));
        QCOMPARE(view->findChild<QWidget *>(u"tool-card-read"_s), card);
    }
};

NBD_GUI_TEST_MAIN(tst_ToolPresentationView)
#include "tst_toolpresentationview.moc"
