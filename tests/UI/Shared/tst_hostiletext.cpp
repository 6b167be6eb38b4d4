// Text of any shape from the host: Markdown, code blocks and terminal output are laid out in
// bounded pieces, whatever the length of a line or the number of code points in a character.
// Each shape is built small and huge; the widgets made and the longest text laid out at once
// stay under the same bound for both.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"
#include "ScrolledMarkdown.h"
#include "WidgetCensus.h"

#include "Domain/Graphemes.h"
#include "Store/WorkspaceTerminalModel.h"
#include "UI/Shared/LineBox.h"
#include "UI/Shared/LongMarkdownView.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Shared/MarkdownCodeBlock.h"
#include "UI/Shared/MarkdownDocumentView.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Tools/WorkspaceTerminalDock.h"

#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QVBoxLayout>

#include <functional>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

using Shape = std::function<QString(qsizetype)>;

// Paragraph shapes of about `n` units without a line break.
QString unbroken(qsizetype n) { return QString(n, u'x'); }
QString words(qsizetype n)
{
    QString text;
    for (int i = 0; text.size() < n; ++i)
        text += u"w"_s + QString::number(i) + u' ';
    text.truncate(n);
    if (text.endsWith(u' '))
        text.back() = u'z';
    return text;
}
QString combining(qsizetype n) { return u"e"_s + QString(n, QChar(0x0301)); }
QString zwj(qsizetype n) { return u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s.repeated(std::max<qsizetype>(1, n / 8)); }
QString flags(qsizetype n) { return u"\U0001F1E8\U0001F1F3"_s.repeated(std::max<qsizetype>(1, n / 4)); }

// The text views a chunked Markdown text shows, in order, with the text of each.
QList<MarkdownDocumentView *> documentViews(QWidget *root)
{
    QList<MarkdownDocumentView *> views = root->findChildren<MarkdownDocumentView *>();
    std::sort(views.begin(), views.end(), [root](QWidget *a, QWidget *b) {
        return a->mapTo(root, QPoint()).y() < b->mapTo(root, QPoint()).y();
    });
    return views;
}

// A Markdown text shown as the transcript shows it, its parse done and the chunks in view laid
// out.
struct ShownMarkdown : test::ScrolledMarkdown
{
    using ScrolledMarkdown::ScrolledMarkdown;

    bool settled()
    {
        return QTest::qWaitFor([this] { return !text->isParsing() && !text->findChild<QWidget *>(u"markdown-pending"_s); }, 120000)
            && QTest::qWaitFor([this] { return !documentViews(text).isEmpty() || text->findChild<MarkdownCodeBlock *>(); }, 30000);
    }

    void scrollTo(int value)
    {
        area.verticalScrollBar()->setValue(value);
        test::drainEventLoop();
    }
};

constexpr qsizetype kLongestLaidOut = 4000;
constexpr int kMostWidgets = 400;

} // namespace

class HostileTextTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Planned on the pool: every piece of a long paragraph, heading, quote or list item is
    // bounded and cut between characters, and the pieces give the words back in order.
    void markdownIsCutIntoBoundedPieces_data()
    {
        QTest::addColumn<Shape>("shape");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<bool>("oneCharacter");
        QTest::newRow("unbroken paragraph") << Shape(unbroken) << QString() << false;
        QTest::newRow("words") << Shape(words) << QString() << false;
        QTest::newRow("combining") << Shape(combining) << QString() << true;
        QTest::newRow("zwj") << Shape(zwj) << QString() << false;
        QTest::newRow("flags") << Shape(flags) << QString() << false;
        QTest::newRow("heading") << Shape(words) << u"## "_s << false;
        QTest::newRow("quote") << Shape(words) << u"> "_s << false;
        QTest::newRow("list item") << Shape(words) << u"1. "_s << false;
    }

    void markdownIsCutIntoBoundedPieces()
    {
        QFETCH(Shape, shape);
        QFETCH(QString, prefix);
        QFETCH(bool, oneCharacter);
        for (const qsizetype n : {qsizetype(100), qsizetype(1'000'000)}) {
            const QString body = shape(n);
            const auto plan = planMarkdownChunks(prefix + body + u"\n\n之后的文字"_s, {});
            QString joined;
            std::vector<MarkdownBlock> blocks;
            for (const auto &chunk : plan->chunks) {
                QVERIFY(chunk->blocks.size() <= 64);
                blocks.insert(blocks.end(), chunk->blocks.begin(), chunk->blocks.end());
            }
            QVERIFY(blocks.size() >= 2);
            QCOMPARE(blocks.back(), MarkdownBlock::paragraph(u"之后的文字"_s));
            blocks.pop_back();
            QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, body);
            for (const MarkdownBlock &block : blocks) {
                const QString piece = block.kind == MarkdownBlock::Kind::List ? block.items.at(0).text : block.text;
                QVERIFY2(piece.size() <= kLongMarkdownLine, qPrintable(QString::number(piece.size())));
                joined += piece;
                // A cut between characters, but inside a character longer than a piece.
                finder.setPosition(joined.size());
                QVERIFY(finder.isAtBoundary() || oneCharacter);
                QVERIFY(!joined.back().isHighSurrogate() || joined.size() == body.size());
            }
            QCOMPARE(joined.size(), body.size());
            QVERIFY(joined == body);
        }
    }

    // A long list is shown in runs that go on numbering where the run before ended.
    void aLongListIsCutIntoRunsThatKeepTheirNumbers()
    {
        QString markdown;
        for (int i = 1; i <= 10000; ++i)
            markdown += QString::number(i) + u". item "_s + QString::number(i) + u'\n';
        const auto plan = planMarkdownChunks(markdown, {});
        qsizetype next = 1;
        for (const auto &chunk : plan->chunks) {
            QVERIFY(chunk->blocks.size() <= 64);
            for (const MarkdownBlock &block : chunk->blocks) {
                QCOMPARE(block.kind, MarkdownBlock::Kind::List);
                QVERIFY(block.items.size() <= 64);
                QCOMPARE(block.firstNumber, next);
                QCOMPARE(block.items.front().text, u"item "_s + QString::number(next));
                next += qsizetype(block.items.size());
            }
        }
        QCOMPARE(next, 10001);
    }

    // Shown, small and huge alike lay out at most a bounded text at once with a bounded number of
    // widgets, at the top and at the end; a selection copies the words as they were written.
    void markdownViewsStayBounded_data()
    {
        QTest::addColumn<Shape>("shape");
        QTest::addColumn<bool>("shownAsWritten"); // a selection copies the source text
        QTest::newRow("unbroken line") << Shape(unbroken) << true;
        QTest::newRow("words") << Shape(words) << true;
        QTest::newRow("combining") << Shape(combining) << true;
        QTest::newRow("zwj") << Shape(zwj) << true;
        QTest::newRow("list items") << Shape([](qsizetype n) { return u"- a\n"_s.repeated(std::max<qsizetype>(1, n / 4)); }) << false;
        QTest::newRow("fence without an end") << Shape([](qsizetype n) {
            QString text = u"```\n"_s;
            for (qsizetype i = 0; i < n / 10; ++i)
                text += u"line "_s + QString::number(i) + u'\n';
            return text;
        }) << false;
    }

    void markdownViewsStayBounded()
    {
        QFETCH(Shape, shape);
        QFETCH(bool, shownAsWritten);
        for (const qsizetype n : {qsizetype(100), qsizetype(1'000'000)}) {
            const QString markdown = shape(n);
            ShownMarkdown shown(markdown);
            QVERIFY(QTest::qWaitForWindowExposed(&shown.area));
            QVERIFY(shown.settled());
            for (const int at : {0, shown.area.verticalScrollBar()->maximum()}) {
                shown.scrollTo(at);
                QTRY_VERIFY(shown.text->findChild<QWidget *>(u"markdown-chunk"_s) || shown.text->chunkCount() == 0);
                const test::WidgetCensus census = test::widgetCensus(&shown.area);
                QVERIFY2(census.longestText <= kLongestLaidOut, qPrintable(QString::number(census.longestText)));
                QVERIFY2(census.widgets <= kMostWidgets, qPrintable(QString::number(census.widgets)));
            }
            shown.scrollTo(0);
            const QStringList problems = test::accessibilityProblems(&shown.area);
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
            QList<MarkdownDocumentView *> views = documentViews(shown.text);
            if (!shownAsWritten)
                continue;
            QVERIFY(!views.isEmpty());
            MarkdownDocumentView *first = views.front();
            QTest::mouseClick(first->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
            QTest::keyClick(first, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(first, Qt::Key_C, Qt::ControlModifier);
            const QString copied = QGuiApplication::clipboard()->text();
            QVERIFY(!copied.isEmpty());
            QVERIFY2(markdown.startsWith(copied), qPrintable(copied.left(40)));
        }
    }

    // A code block taller than any widget can be scrolls in a box of its own, and what follows
    // it in the reply is shown, below it in reach.
    void whatFollowsACodeBlockOfAnyHeightIsShown()
    {
        for (const int lines : {10, 100'000, 2'000'000}) {
            QString markdown = u"```\n"_s;
            markdown.reserve(lines * 8 + 100);
            for (int i = 0; i < lines; ++i)
                markdown += QString::number(i) + u'\n';
            markdown += u"```\n\n之后的文字\n"_s;
            ShownMarkdown shown(markdown);
            QVERIFY(QTest::qWaitForWindowExposed(&shown.area));
            QVERIFY(shown.settled());
            auto *box = shown.text->findChild<LineBox *>(u"markdown-code-text"_s);
            QVERIFY(box);
            QTRY_VERIFY_WITH_TIMEOUT(box->isFilled(), 120000);
            QVERIFY(box->lines().size() >= lines);
            QCOMPARE(box->scrollsItself(), lines > 10);
            QVERIFY(box->height() <= LongTextView::kScrollingHeight || lines == 10);
            shown.scrollTo(shown.area.verticalScrollBar()->maximum());
            MarkdownDocumentView *after = nullptr;
            QTRY_VERIFY((after = documentViews(shown.text).value(0)) && after->toPlainText() == u"之后的文字"_s);
            const int top = after->mapTo(shown.text, QPoint()).y();
            QVERIFY(top > box->mapTo(shown.text, QPoint()).y());
            QVERIFY(top + after->height() <= shown.text->height());
            QVERIFY(shown.text->height() < QWIDGETSIZE_MAX);
            QVERIFY(after->visibleRegion().boundingRect().height() > 0);
            // The box's own scroll bar reaches its last line.
            QScrollBar *inner = box->verticalScrollBar();
            if (lines > 10) {
                inner->setValue(inner->maximum());
                test::drainEventLoop();
                const QTextCursor bottom = box->cursorForPosition(QPoint(5, box->viewport()->height() - 20));
                QVERIFY(box->lineOfBlock(bottom.blockNumber()) >= lines - 100);
            }
        }
    }

    // The terminal's output: one line of any length is shown in rows of at most the dock's line
    // length, with nothing of it lost, and the dock holds as many widgets for either.
    void terminalOutputStaysBounded()
    {
        QTemporaryDir dir;
        int widgets = -1;
        for (const qsizetype n : {qsizetype(100), qsizetype(1'000'000)}) {
            QWidget window;
            window.resize(800, 300);
            auto *model = new WorkspaceTerminalModel(QUrl::fromLocalFile(dir.path()), &window);
            auto *dock = new WorkspaceTerminalDock(model, [] {}, &window);
            auto *layout = new QVBoxLayout(&window);
            layout->addWidget(dock);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            auto *input = dock->findChild<QLineEdit *>(u"workspace-terminal-input"_s);
            QTest::mouseClick(input, Qt::LeftButton);
            QTest::keyClicks(input, u"head -c %1 /dev/zero | tr '\\0' x; echo; echo end"_s.arg(n));
            QTest::keyClick(input, Qt::Key_Return);
            auto *output = dock->findChild<QPlainTextEdit *>(u"workspace-terminal-output"_s);
            QTRY_VERIFY_WITH_TIMEOUT(!model->isRunning() && output->document()->lastBlock().text() == u"end"_s, 60000);
            QString shown;
            qsizetype longest = 0;
            for (QTextBlock block = output->document()->firstBlock().next(); block != output->document()->lastBlock(); block = block.next()) {
                shown += block.text();
                longest = std::max<qsizetype>(longest, block.text().size());
            }
            QCOMPARE(shown.size(), n);
            QVERIFY(shown == QString(n, u'x'));
            QVERIFY(longest <= WorkspaceTerminalDock::kMaxLineChars);
            const test::WidgetCensus census = test::widgetCensus(&window);
            QVERIFY(census.longestText <= WorkspaceTerminalDock::kMaxLineChars + 100);
            if (widgets >= 0)
                QCOMPARE(census.widgets, widgets);
            widgets = census.widgets;
        }
    }
};

NBD_GUI_TEST_MAIN(HostileTextTest)
#include "tst_hostiletext.moc"
