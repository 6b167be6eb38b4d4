#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "TextPoint.h"

#include "UI/Conversation/LineBox.h"
#include "UI/Conversation/LongTextView.h"
#include "UI/Conversation/MarkdownText.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/LinkOpener.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
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

// A long text in a scroll area as the transcript holds it, 600 × 500.
struct ScrolledWindow
{
    QScrollArea area;
    MarkdownText *text = nullptr;

    explicit ScrolledWindow(const QString &markdown)
    {
        text = new MarkdownText(markdown, false);
        area.setWidget(text);
        area.setWidgetResizable(true);
        area.resize(600, 500);
        area.show();
    }
};

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
        QTRY_VERIFY(w.text->laidOutChunkCount() > 0);
        const int chunks = w.text->chunkCount();
        QVERIFY(chunks > 4);
        QVERIFY(w.text->laidOutChunkCount() < chunks);
        // The height comes from estimates: tall enough to scroll through all of it.
        QVERIFY(w.area.verticalScrollBar()->maximum() > 20000);

        // Scrolled to the end, the last chunk is laid out, the middle ones still are not.
        const QList<QWidget *> all = w.text->findChildren<QWidget *>(u"markdown-chunk"_s, Qt::FindDirectChildrenOnly);
        QVERIFY(all.back()->findChildren<MarkdownDocumentView *>().isEmpty());
        w.area.verticalScrollBar()->setValue(w.area.verticalScrollBar()->maximum());
        QTRY_VERIFY(!all.back()->findChildren<MarkdownDocumentView *>().isEmpty());
        QVERIFY(w.text->laidOutChunkCount() < chunks);

        // Walked through page by page, every chunk is laid out and the words are those a short
        // text of the same blocks shows.
        for (int y = 0; y <= w.area.verticalScrollBar()->maximum(); y += 400) {
            w.area.verticalScrollBar()->setValue(y);
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE(w.text->laidOutChunkCount(), chunks);
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
        QCOMPARE(shownText(w.text), expected.join(u'\n'));
    }

    void longTextGrowingAtItsEndKeepsItsEarlierChunks()
    {
        const QString markdown = longMarkdown(900);
        ScrolledWindow w(markdown);
        QVERIFY(QTest::qWaitForWindowExposed(&w.area));
        QTRY_VERIFY(w.text->laidOutChunkCount() > 0);
        const QList<QWidget *> before = w.text->findChildren<QWidget *>(u"markdown-chunk"_s, Qt::FindDirectChildrenOnly);
        const QPointer<QWidget> first = before.front();
        const QPointer<QWidget> last = before.back();
        w.text->setContent(markdown + u"最后一段 appended.\n\n更多"_s, false);
        const QList<QWidget *> after = w.text->findChildren<QWidget *>(u"markdown-chunk"_s, Qt::FindDirectChildrenOnly);
        QCOMPARE(after.size(), before.size());
        // Only the last chunk was rebuilt; the first one, laid out, is the same widget.
        QCOMPARE(after.front(), first.data());
        QVERIFY(!last);
        QVERIFY(w.text->laidOutChunkCount() > 0);
        QCoreApplication::processEvents();
        w.area.verticalScrollBar()->setValue(w.area.verticalScrollBar()->maximum());
        QTRY_VERIFY(shownText(after.back()).endsWith(u"更多"_s));

        // A new style lays everything out anew.
        w.text->setStyle(MarkdownStyle{13, {}});
        QVERIFY(!w.text->findChildren<QWidget *>(u"markdown-chunk"_s, Qt::FindDirectChildrenOnly).contains(after.front()));
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
        QVERIFY(w.text->chunkCount() > 4);
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
        QTest::qWait(600);
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
