#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"
#include "ScrolledMarkdown.h"
#include "TextPoint.h"

#include "UI/Shared/BlinkingCursor.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/LineBox.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Shared/MarkdownCodeBlock.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Shared/LinkOpener.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
#include <QMap>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

struct Window
{
    QWidget window;
    QList<QUrl> opened;
    MarkdownText *text = nullptr;

    explicit Window(const QString &markdown, bool cursor = false)
    {
        auto *layout = new QVBoxLayout(&window);
        text = new MarkdownText(markdown, cursor, &window);
        layout->addWidget(text);
        layout->addStretch();
        LinkOpener::install(&window, [this](const QUrl &url) {
            opened << url;
            return true;
        });
        window.resize(600, 700);
        window.show();
    }
};

QStringList blockTexts(MarkdownDocumentView *view)
{
    QStringList out;
    for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next())
        out << b.text();
    return out;
}

// A long answer of `sections` sections, each a heading, prose, a list, a code block and a quote.
QString longMarkdown(int sections, const QString &tail = {})
{
    QString text;
    for (int i = 1; i <= sections; ++i) {
        text += u"## 第 %1 节\n\n编译单元 **module_%1** 通过检查；the resolver caches *lookups*.\n\n"_s.arg(i);
        text += u"- 第一项\n- second item %1\n\n```cpp\nint f%1() { return %1; }\n```\n\n> 注意 %1\n\n"_s.arg(i);
    }
    return text + tail;
}

// The text of every document view and code block under `root`, in order.
QString shownText(QWidget *root)
{
    QStringList parts;
    std::function<void(QObject *)> walk = [&](QObject *object) {
        for (QObject *child : object->children()) {
            if (auto *view = qobject_cast<MarkdownDocumentView *>(child))
                parts << blockTexts(view).join(u'\n');
            else if (auto *code = qobject_cast<MarkdownCodeBlock *>(child))
                parts << code->code();
            else
                walk(child);
        }
    };
    walk(root);
    return parts.join(u'\n');
}

// The widget of the long text's chunk `index`, while it is laid out.
QWidget *liveChunk(MarkdownText *text, int index)
{
    for (QWidget *chunk : text->findChildren<QWidget *>(u"markdown-chunk"_s)) {
        if (chunk->property("chunkIndex").toInt() == index && !chunk->isHidden())
            return chunk;
    }
    return nullptr;
}

// The laid-out chunk at `y` in the text's coordinates.
QWidget *chunkAt(MarkdownText *text, int y)
{
    for (QWidget *chunk : text->findChildren<QWidget *>(u"markdown-chunk"_s)) {
        const int top = chunk->mapTo(text, QPoint()).y();
        if (!chunk->isHidden() && y >= top && y < top + chunk->height())
            return chunk;
    }
    return nullptr;
}

using ScrolledWindow = test::ScrolledMarkdown;

} // namespace

class tst_MarkdownText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void longTextIsLaidOutOnlyNearTheViewAndRendersTheSame()
    {
        const QString markdown = longMarkdown(900);
        QVERIFY(markdown.size() > 60000);
        ScrolledWindow w(markdown);
        QVERIFY(QTest::qWaitForWindowExposed(&w.area));
        QTRY_VERIFY(liveChunk(w.text, 0));
        const int chunks = w.text->chunkCount();
        QVERIFY(chunks > 30);
        QVERIFY(w.text->laidOutChunkCount() < chunks);
        QVERIFY(!liveChunk(w.text, chunks - 1));
        // The height comes from estimates: tall enough to scroll through all of it.
        QScrollBar *bar = w.area.verticalScrollBar();
        QVERIFY(bar->maximum() > 20000);

        // Scrolled to the end (again as measured heights replace estimates), the last chunk is
        // laid out, those in the middle are not.
        QTRY_VERIFY((bar->setValue(bar->maximum()), liveChunk(w.text, chunks - 1)));
        QVERIFY(!liveChunk(w.text, chunks / 2));

        // Walked through page by page, each chunk is laid out as it comes into view, only a few
        // at a time, and the words are those a short text of the same blocks shows.
        QMap<int, QString> seen;
        for (int y = 0; y <= bar->maximum(); y += 400) {
            bar->setValue(y);
            QWidget *chunk = nullptr;
            QTRY_VERIFY((chunk = chunkAt(w.text, bar->value() + 10)));
            seen.insert(chunk->property("chunkIndex").toInt(), shownText(chunk));
            QVERIFY(w.text->laidOutChunkCount() < chunks / 2);
        }
        // The last chunk may be shorter than a step.
        QWidget *end = nullptr;
        QTRY_VERIFY((bar->setValue(bar->maximum()), end = chunkAt(w.text, w.text->height() - 2)));
        seen.insert(end->property("chunkIndex").toInt(), shownText(end));
        QCOMPARE(seen.size(), chunks);
        QStringList expected;
        for (const MarkdownBlock &block : MarkdownParser::parse(markdown)) {
            if (block.kind == MarkdownBlock::Kind::Code) {
                expected << block.text;
                continue;
            }
            QTextDocument document;
            writeMarkdownBlocks(&document, {block});
            for (QTextBlock b = document.begin(); b.isValid(); b = b.next())
                expected << b.text();
        }
        QCOMPARE(QStringList(seen.values()).join(u'\n'), expected.join(u'\n'));
    }

    void longTextGrowingAtItsEndKeepsItsEarlierChunks()
    {
        const QString markdown = longMarkdown(900);
        ScrolledWindow w(markdown);
        QVERIFY(QTest::qWaitForWindowExposed(&w.area));
        QTRY_VERIFY(liveChunk(w.text, 0));
        const QPointer<QWidget> first = liveChunk(w.text, 0);
        const int chunks = w.text->chunkCount();
        w.text->setContent(markdown + u"最后一段 appended.\n\n更多"_s, false);
        // Until the new text is parsed, the chunks of the former one stay as they were; then
        // the chunks before its end are kept, laid out as they were.
        QCOMPARE(liveChunk(w.text, 0), first.data());
        QTRY_VERIFY(!w.text->isParsing());
        QCOMPARE(liveChunk(w.text, 0), first.data());
        QVERIFY(w.text->chunkCount() >= chunks);
        QScrollBar *bar = w.area.verticalScrollBar();
        QTRY_VERIFY((bar->setValue(bar->maximum()), liveChunk(w.text, w.text->chunkCount() - 1)));
        QVERIFY(shownText(liveChunk(w.text, w.text->chunkCount() - 1)).endsWith(u"更多"_s));

        // A new style lays everything out anew.
        bar->setValue(0);
        QTRY_COMPARE(liveChunk(w.text, 0), first.data());
        w.text->setStyle(MarkdownStyle{13, {}});
        QVERIFY(!first);
        QTRY_VERIFY(!w.text->isParsing());
        QTRY_VERIFY(liveChunk(w.text, 0));
    }

    void longStreamingTextIsShownWholeAndCopies()
    {
        const QString markdown = longMarkdown(900);
        Window w(u"开始"_s, true);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        w.text->setContent(markdown, true);
        auto *raw = w.text->findChild<LongTextView *>(u"markdown-raw"_s);
        QVERIFY(raw);
        QCOMPARE(raw->text(), markdown);
        w.text->setContent(markdown + u"尾"_s, true);
        QCOMPARE(w.text->findChild<LongTextView *>(u"markdown-raw"_s), raw);
        QVERIFY(raw->laidOutLineCount() < raw->lineCount());
        raw->selectAll();
        QCOMPARE(raw->selectedText(), markdown + u"尾"_s);
        // Done streaming: drawn as Markdown, in chunks.
        w.text->setContent(markdown, false);
        QVERIFY(!w.text->findChild<LongTextView *>(u"markdown-raw"_s));
        QTRY_VERIFY(w.text->chunkCount() > 4);
    }

    void longTextIsParsedAwayAndHoldsRoomMeanwhile()
    {
        const QString markdown = longMarkdown(900);
        ScrolledWindow w(markdown);
        // Nothing of it is parsed on the spot; it holds room about as tall as it will be.
        QVERIFY(w.text->isParsing());
        QCOMPARE(w.text->chunkCount(), 0);
        QVERIFY(w.text->findChild<QWidget *>(u"markdown-pending"_s));
        const int estimated = w.text->heightForWidth(560);
        QTRY_VERIFY(!w.text->isParsing());
        QVERIFY(!w.text->findChild<QWidget *>(u"markdown-pending"_s));
        QVERIFY(w.text->chunkCount() > 4);
        const int chunked = w.text->heightForWidth(560);
        QVERIFY2(estimated > chunked / 2 && estimated < chunked * 2, qPrintable(u"%1 %2"_s.arg(estimated).arg(chunked)));
    }

    void aParseOfAFormerTextIsNeverShown()
    {
        const QString first = longMarkdown(900);
        ScrolledWindow w(first);
        QVERIFY(w.text->isParsing());
        // A short text in its place is shown at once; the long one's parse, when it ends,
        // changes nothing.
        w.text->setContent(u"短的 **回答**"_s, false);
        QCOMPARE(shownText(w.text), u"短的 回答"_s);
        QTRY_VERIFY(!w.text->isParsing());
        QCoreApplication::processEvents();
        QCOMPARE(w.text->chunkCount(), 0);
        QVERIFY(!w.text->findChild<QWidget *>(u"markdown-pending"_s));
        QCOMPARE(shownText(w.text), u"短的 回答"_s);

        // A long text replaced by another long one before its parse ended: the second is shown.
        w.text->setContent(first, false);
        const QString second = longMarkdown(600, u"第二个回答的结尾"_s);
        w.text->setContent(second, false);
        QTRY_VERIFY(!w.text->isParsing());
        QScrollBar *bar = w.area.verticalScrollBar();
        QTRY_VERIFY((bar->setValue(bar->maximum()), liveChunk(w.text, w.text->chunkCount() - 1)));
        QVERIFY(shownText(liveChunk(w.text, w.text->chunkCount() - 1)).endsWith(u"第二个回答的结尾"_s));
    }

    void blocksAreDrawn()
    {
        Window w(u"# Title\n\nA *para*\nsecond line\n\n3. a\n7. b\n9. c\n\n- x\n\n> quoted\n\n---\n\n##### small"_s);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        const auto views = w.text->findChildren<MarkdownDocumentView *>();
        QCOMPARE(views.size(), 1);
        const QStringList blocks = blockTexts(views[0]);
        QCOMPARE(blocks.value(0), u"Title"_s);
        // Line breaks inside a paragraph stay line breaks of the same paragraph.
        QCOMPARE(blocks.value(1), u"A para"_s + QChar::LineSeparator + u"second line"_s);
        // Numbered from 1 whatever the source says.
        QCOMPARE(blocks.mid(2, 3), (QStringList{u"1.\ta"_s, u"2.\tb"_s, u"3.\tc"_s}));
        QCOMPARE(blocks.value(5), u"•\tx"_s);
        QCOMPARE(blocks.value(6), u"quoted"_s);

        QTextBlock title = views[0]->document()->begin();
        QCOMPARE(title.charFormat().font().pixelSize(), 22);
        QTextBlock last = views[0]->document()->lastBlock();
        QCOMPARE(last.text(), u"small"_s);
        QCOMPARE(QTextCursor(last).charFormat().font().pixelSize(), 15);
        QCOMPARE(QTextCursor(last).charFormat().font().weight(), QFont::Medium);
        QCOMPARE(last.blockFormat().topMargin(), 7.0 + 2.0);

        // Emphasis became a character format, the marks are gone.
        QTextCursor c(views[0]->document()->findBlockByNumber(1));
        c.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 3);
        QVERIFY(c.charFormat().fontItalic());
        QVERIFY(views[0]->height() > 150);
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    void htmlAndMarksOfStreamingTextStayLiteral()
    {
        Window w(u"**bold** <b>x</b>"_s, true);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        auto *raw = w.text->findChild<AutoHeightTextView *>(u"markdown-raw"_s);
        QVERIFY(raw);
        QCOMPARE(raw->toPlainText(), u"**bold** <b>x</b>"_s);
        QVERIFY(w.text->findChild<BlinkingCursor *>());
        // More text while streaming only changes the raw text.
        w.text->setContent(u"**bold** <b>x</b> more"_s, true);
        QCOMPARE(w.text->findChild<AutoHeightTextView *>(u"markdown-raw"_s), raw);
        QCOMPARE(raw->toPlainText(), u"**bold** <b>x</b> more"_s);

        w.text->setContent(u"**bold** <b>x</b> more"_s, false);
        QVERIFY(!w.text->findChild<BlinkingCursor *>());
        auto *view = w.text->findChild<MarkdownDocumentView *>();
        QVERIFY(view);
        QCOMPARE(view->toPlainText(), u"bold <b>x</b> more"_s);
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    void emptyText()
    {
        Window w{QString()};
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        QVERIFY(w.text->findChildren<QWidget *>().isEmpty());
        w.text->setContent(QString(), true);
        QVERIFY(w.text->findChild<BlinkingCursor *>());
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
    }

    void codeBlockCopies()
    {
        Window w(u"Before\n\n```python\nprint('hi')\n    x = 1\n```\n\n```\n```"_s);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        const auto blocks = w.text->findChildren<MarkdownCodeBlock *>();
        QCOMPARE(blocks.size(), 2);
        QCOMPARE(blocks[0]->findChild<QLabel *>(u"markdown-code-language"_s)->text(), u"python"_s);
        QCOMPARE(blocks[1]->findChild<QLabel *>(u"markdown-code-language"_s)->text(), u"code"_s);
        // An empty body still shows a one-line box.
        auto *emptyBox = blocks[1]->findChild<LineBox *>(u"markdown-code-text"_s);
        QVERIFY(emptyBox->height() >= QFontMetrics(emptyBox->font()).height() + 24);

        auto *copy = blocks[0]->findChild<QAbstractButton *>(u"markdown-code-copy"_s);
        QCOMPARE(copy->text(), u"复制"_s);
        QTest::mouseClick(copy, Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"print('hi')\n    x = 1"_s);
        QCOMPARE(copy->text(), u"已复制"_s);
        QCOMPARE(copy->accessibleName(), u"已复制"_s);
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(), qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));
        // Half of the time the label holds has passed: it still says so.
        QVERIFY(test::waitPastInterval(600));
        QCOMPARE(copy->text(), u"已复制"_s);
        QTRY_COMPARE_WITH_TIMEOUT(copy->text(), u"复制"_s, 2000);
    }

    void linksOpenThroughTheWindow()
    {
        Window w(u"See [the docs](https://example.org/docs) now"_s);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        auto *view = w.text->findChild<MarkdownDocumentView *>();
        QTextCursor c(view->document());
        c.setPosition(6);
        const QRect r = view->cursorRect(c);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, r.center() + QPoint(3, 0));
        QCOMPARE(w.opened, QList<QUrl>{QUrl(u"https://example.org/docs"_s)});
    }

    // Each link is an accessible link named by its words (all of them, whatever their
    // formats), pressed as a click on them, and lying over its words as the text wraps anew.
    void linksAreAccessibleLinksOverTheirWords()
    {
        const QString filler = u"前面的文字很长很长 "_s.repeated(12);
        Window w(filler + u"[**粗体** 与 `code`](https://a.example/one)[紧挨着](https://a.example/two)，"_s
                 u"[](https://a.example/empty) 再见 [末尾的链接](https://a.example/three)"_s);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        auto *view = w.text->findChild<MarkdownDocumentView *>();
        QVERIFY(view);
        auto names = [&] {
            QStringList out;
            for (QAbstractButton *mark : view->linkMarks())
                out << mark->accessibleName();
            return out;
        };
        const QStringList expected{u"粗体 与 code"_s, u"紧挨着"_s, u"末尾的链接"_s};
        QTRY_COMPARE(names(), expected);
        QVERIFY2(test::accessibilityProblems(&w.window).isEmpty(),
                 qPrintable(test::accessibilityProblems(&w.window).join(u'\n')));

        for (QAbstractButton *mark : view->linkMarks()) {
            QAccessibleInterface *link = QAccessible::queryAccessibleInterface(mark);
            QCOMPARE(link->role(), QAccessible::Link);
            link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        }
        QCOMPARE(w.opened, (QList<QUrl>{QUrl(u"https://a.example/one"_s), QUrl(u"https://a.example/two"_s),
                                        QUrl(u"https://a.example/three"_s)}));

        // Narrower, the words move to other lines; their links go with them.
        for (int width : {600, 260}) {
            w.window.resize(width, 700);
            QTRY_VERIFY(view->width() < width);
            QTRY_VERIFY2(view->linkMarks().size() == 3
                             && view->linkMarks().last()->geometry().contains(test::pointOfText(view, u"末尾的链接"_s)),
                         qPrintable(QString::number(width)));
            QVERIFY(view->linkMarks().first()->geometry().contains(test::pointOfText(view, u"粗体"_s)));
        }
    }
};

NBD_GUI_TEST_MAIN(tst_MarkdownText)
#include "tst_markdowntext.moc"
