// Assistant Markdown and tool cards in the transcript of the main window, against the simulated
// host: chips open into their cards, file and web references go through the window's link
// routing, code blocks copy, and rows keep their measured heights as they open and update.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "AppWindowTestSupport.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"
#include "RenderedWidget.h"
#include "TextPoint.h"

#include "App/ContentView.h"
#include "Session/SessionModel.h"
#include "SimHost.h"
#include "SimSessions.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "UI/Shared/CardWidgets.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Shared/LineBox.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Shared/MarkdownCodeBlock.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/ToolPresentationView.h"
#include "UI/Conversation/TranscriptRowViews.h"
#include "UI/Shared/Theme.h"

#include <QClipboard>
#include <QLabel>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;
namespace events = nbd::sim::events;

namespace {

const QString kSession = u"cards"_s;
const QString kCwd = u"/srv/project"_s;

JSONValue jsonOf(const QString &text) { return parseJSON(text.toUtf8()); }

const QString kAnswer = uR"(## 结果

改动见 [指南](docs/guide.md)，背景见 [说明](https://example.org/notes)。

1. 第一步
2. 第二步

```cpp
int answer = 42;
```)"_s;

// Every live row lies below the one before it, as tall as it measures at its width.
void verifyRowsStack(TranscriptListView *list)
{
    QList<TranscriptEntryView *> views = list->liveViews();
    std::sort(views.begin(), views.end(), [](auto *a, auto *b) { return a->y() < b->y(); });
    for (qsizetype i = 0; i < views.size(); ++i) {
        TranscriptEntryView *view = views[i];
        QCOMPARE(view->height(), view->measure(view->width()));
        if (i > 0)
            QVERIFY2(views[i - 1]->geometry().bottom() < view->y(),
                     qPrintable(u"rows overlap at %1"_s.arg(view->y())));
    }
}

} // namespace

class tst_ConversationCards : public QObject
{
    Q_OBJECT

    test::AppWindowHarness m_app;

    ConversationView *conversation() const { return m_app.conversation(); }
    TranscriptListView *list() const { return conversation()->transcript()->list(); }

    ToolCallChip *chipTitled(const QString &title) const
    {
        TranscriptRenderRowView *row = m_app.liveRowWhere([&](TranscriptRenderRowView *r) {
            auto *chip = r->findChild<ToolCallChip *>();
            return chip && ToolCallChip::presentationTitle(chip->block()) == title;
        });
        return row ? row->findChild<ToolCallChip *>() : nullptr;
    }

    // Until the rows have taken in all that was on its way (the transcript's publish, the cards'
    // opening and the layout it asks for, the host's answers and the text laid out from them)
    // and the list's height is final.
    bool rowsSettled()
    {
        return QTest::qWaitFor([&] { return !conversation()->shownSession()->isTranscriptPublishScheduled(); })
            && waitUntilMotionSettles(m_app.window.get()) && waitUntilHostQuiet(*m_app.host, m_app.store->connection()->wire())
            && motionSettled(m_app.window.get());
    }

    void openSessionFromTheSidebar()
    {
        m_app.openWindow(QSize(1280, 900));
        if (QTest::currentTestFailed())
            return;
        m_app.clickSessionRow(kSession);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(conversation()->shownSession() && conversation()->shownSession()->historyLoaded(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(m_app.liveRowWhere([](TranscriptRenderRowView *r) {
                                     return r->contentKind() == TranscriptRenderRowView::ContentKind::FinalText;
                                 }),
                                 10000);
    }

private Q_SLOTS:
    void init()
    {
        m_app.startHost();
        sim::SimWorld::Session session = test::session(kSession, 1000);
        session.cwd = kCwd;
        m_app.world->addSession(session);
        m_app.world->appendEvent(kSession, events::userMessage(u"u1"_s, u"改一下配置"_s));
        m_app.world->appendEvent(kSession, events::turnStart(1));
        m_app.world->appendEvent(kSession, events::stepStart(1, 1));
        m_app.world->logs().append(kSession, events::toolCall(1, 1, u"c-edit"_s, u"edit"_s, u"{\"path\":\"src/app.cpp\"}"_s));
        m_app.world->logs().append(kSession, events::toolResult(1, 1, u"c-edit"_s, u"ok"_s),
                               events::toolView(u"c-edit"_s, jsonOf(uR"({"card":"diff","title":"编辑 app.cpp","diffs":[)"
                                                                  uR"({"path":"src/app.cpp","oldText":"a\nb","newText":"a\nc"}]})"_s)));
        m_app.world->appendEvent(kSession, events::stepStart(1, 2));
        m_app.world->appendEvent(kSession, events::textDelta(1, 2, 0, kAnswer));
        m_app.world->appendEvent(kSession, events::assistantMessage(1, 2, kAnswer));
        m_app.world->appendEvent(kSession, events::stepStart(1, 3));
        // Still running: the result comes live.
        m_app.world->logs().append(kSession, events::toolCall(1, 3, u"c-run"_s, u"bash"_s, u"{\"command\":\"make\"}"_s),
                               events::toolView(u"c-run"_s, jsonOf(uR"({"card":"terminal","title":"构建","cwd":"/srv/project"})"_s)));
    }

    void cleanup()
    {
        m_app.stop();
    }

    // Every control of the rows, folded and opened (chip headers, code copy, links in the cards
    // and the answer), does by its accessibility action what its click does: the same rows
    // open, the same text copied, the same tool tab opened.
    void rowActionsDoWhatClicksDo_data()
    {
        QTest::addColumn<bool>("opened");
        QTest::newRow("chips folded") << false;
        QTest::newRow("chips opened") << true;
    }

    void rowActionsDoWhatClicksDo()
    {
        QFETCH(bool, opened);
        qsizetype baseline = 0;
        ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            m_app.window.reset();
            m_app.store.reset();
            // Panels shown by an earlier run stay out of the next window.
            QFile::remove(m_app.dir.filePath(u"settings.ini"_s));
            QGuiApplication::clipboard()->clear();
            openSessionFromTheSidebar();
            if (QTest::currentTestFailed())
                return nullptr;
            (void)QTest::qWaitFor([&] { return chipTitled(u"编辑 app.cpp"_s) && chipTitled(u"构建"_s); });
            if (opened) {
                for (const QString &title : {u"编辑 app.cpp"_s, u"构建"_s}) {
                    if (ToolCallChip *chip = chipTitled(title))
                        QTest::mouseClick(chip->header(), Qt::LeftButton);
                }
                (void)QTest::qWaitFor([&] { return m_app.window->findChild<LinkButton *>(u"tool-card-file"_s) != nullptr; });
            }
            (void)rowsSettled();
            baseline = m_app.host->requests().size();
            return m_app.window.get();
        };
        check.state = [&] {
            QStringList open;
            for (const TranscriptEntry &entry : list()->entries()) {
                if (list()->isExpanded(entry.key))
                    open << entry.key;
            }
            QString tab = u"-"_s;
            const WorkspaceToolTabState &tabs = m_app.window->workspaceToolTabs();
            if (tabs.selectedTabID) {
                const WorkspaceToolTab *shown = tabs.find(*tabs.selectedTabID);
                tab = workspaceToolRawValue(shown->tool) + u' '
                    + shown->requestedFileURL.value_or(shown->browserStartURL.value_or(QUrl())).toString();
            }
            QStringList calls;
            const QList<sim::LoggedRequest> all = m_app.host->requests();
            for (qsizetype i = baseline; i < all.size(); ++i)
                calls << all[i].method;
            return u"open "_s + open.join(u',') + u" tab "_s + tab
                + (m_app.window->rightSidebarVisible() ? u" tools"_s : QString())
                + (m_app.window->terminalVisible() ? u" terminal"_s : QString()) + u" clipboard "_s
                + QGuiApplication::clipboard()->text() + u" calls "_s + calls.join(u',');
        };
        // The rows only: the window's other parts have walks of their own.
        check.skip = [&](QAccessibleInterface *iface) {
            auto *widget = qobject_cast<QWidget *>(iface->object());
            return !widget || !list()->isAncestorOf(widget);
        };
        check.async = true;
        check.quiet = [&] { (void)rowsSettled(); };
        const ActionParityReport report = actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        // Folded: the two chips, the answer's two links and the code's copy button; opened,
        // the file link as well.
        QVERIFY2(report.controls.size() >= (opened ? 6 : 5), qPrintable(report.controls.join(u'\n')));
        QVERIFY2(report.changed >= (opened ? 6 : 5), qPrintable(report.controls.join(u'\n')));
        const QString links = report.controls.filter(u"markdown-link"_s).join(u'\n');
        QVERIFY2(links.contains(u"|指南#0 -> open"_s) && links.contains(u"tab files file:///srv/project/docs/guide.md"_s),
                 qPrintable(links));
        QVERIFY2(links.contains(u"|说明#0 -> open"_s) && links.contains(u"tab browser https://example.org/notes"_s),
                 qPrintable(links));
    }

    void markdownReplyLinksAndCopy()
    {
        openSessionFromTheSidebar();
        if (QTest::currentTestFailed())
            return;
        TranscriptRenderRowView *row = m_app.liveRowWhere(
            [](TranscriptRenderRowView *r) { return r->contentKind() == TranscriptRenderRowView::ContentKind::FinalText; });
        QVERIFY(row);
        auto *markdown = row->findChild<MarkdownText *>();
        QVERIFY(markdown);
        QCOMPARE(markdown->text(), kAnswer);
        // A screen reader hears the words as shown: no marks, no link destinations.
        QCOMPARE(row->accessibleName(), u"结果\n改动见 指南，背景见 说明。\n1. 第一步\n2. 第二步\nint answer = 42;"_s);
        // Formatted, not raw: the heading and the list numbers are there, the marks are not.
        auto *blocks = markdown->findChild<MarkdownDocumentView *>();
        QVERIFY(blocks);
        const QString shown = blocks->document()->toPlainText();
        QVERIFY2(shown.startsWith(u"结果\n"_s), qPrintable(shown));
        QVERIFY(shown.contains(u"1.\t第一步"_s));
        QVERIFY(!shown.contains(u"]("_s));
        verifyRowsStack(list());
        QVERIFY2(accessibilityProblems(m_app.window.get()).isEmpty(),
                 qPrintable(accessibilityProblems(m_app.window.get()).join(u'\n')));

        // The copy button puts the code on the clipboard and says so.
        auto *code = markdown->findChild<MarkdownCodeBlock *>();
        QVERIFY(code);
        auto *copy = code->findChild<QAbstractButton *>(u"markdown-code-copy"_s);
        QVERIFY(copy);
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(copy, Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"int answer = 42;"_s);
        QCOMPARE(copy->accessibleName(), u"已复制"_s);
        QTRY_COMPARE_WITH_TIMEOUT(copy->accessibleName(), u"复制"_s, 5000);

        // A relative link opens in the files tool, resolved against the session's folder.
        const QPoint guide = pointOfText(blocks, u"指南"_s);
        QVERIFY(!guide.isNull());
        QTest::mouseClick(blocks->viewport(), Qt::LeftButton, {}, guide);
        QTRY_VERIFY(m_app.window->workspaceToolTabs().selectedTabID.has_value());
        const WorkspaceToolTab *tab = m_app.window->workspaceToolTabs().find(*m_app.window->workspaceToolTabs().selectedTabID);
        QVERIFY(tab);
        QCOMPARE(tab->tool, WorkspaceTool::Files);
        QCOMPARE(tab->requestedFileURL, QUrl::fromLocalFile(kCwd + u"/docs/guide.md"_s));
        QVERIFY(m_app.window->rightSidebarVisible());

        // A web link opens in the browser tool.
        const QPoint notes = pointOfText(blocks, u"说明"_s);
        QTest::mouseClick(blocks->viewport(), Qt::LeftButton, {}, notes);
        QTRY_VERIFY(m_app.window->workspaceToolTabs().find(*m_app.window->workspaceToolTabs().selectedTabID)->tool
                    == WorkspaceTool::Browser);
        QCOMPARE(m_app.window->workspaceToolTabs().find(*m_app.window->workspaceToolTabs().selectedTabID)->browserStartURL,
                 QUrl(u"https://example.org/notes"_s));

        // Assistive technology finds each link by its words, lying over them without taking
        // the pointer's clicks from the text.
        const QList<QAbstractButton *> marks = blocks->linkMarks();
        QCOMPARE(marks.size(), 2);
        QCOMPARE(marks[0]->accessibleName(), u"指南"_s);
        QCOMPARE(marks[1]->accessibleName(), u"说明"_s);
        QCOMPARE(QAccessible::queryAccessibleInterface(marks[0])->role(), QAccessible::Link);
        QVERIFY(marks[0]->geometry().contains(guide));
        QVERIFY(marks[1]->geometry().contains(notes));
        QCOMPARE(blocks->viewport()->childAt(guide), nullptr);

        // By keyboard: Tab and Shift+Tab in the text move from link to link (the last one
        // clicked is the current one), Return opens the link reached.
        blocks->setFocus(Qt::OtherFocusReason);
        QCOMPARE(blocks->textCursor().selectedText(), u"说明"_s);
        QTest::keyClick(blocks, Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), blocks);
        QCOMPARE(blocks->textCursor().selectedText(), u"指南"_s);
        QTest::keyClick(blocks, Qt::Key_Return);
        QTRY_COMPARE(m_app.window->workspaceToolTabs().find(*m_app.window->workspaceToolTabs().selectedTabID)->tool,
                     WorkspaceTool::Files);
    }

    void chipOpensItsCardAndThePathOpensTheFile()
    {
        openSessionFromTheSidebar();
        if (QTest::currentTestFailed())
            return;
        ToolCallChip *chip = chipTitled(u"编辑 app.cpp"_s);
        QVERIFY(chip);
        QVERIFY(!chip->findChild<ToolPresentationView *>());
        const int collapsed = chip->height();
        QTest::mouseClick(chip->header(), Qt::LeftButton);
        QVERIFY(chip->isExpanded());
        auto *card = chip->findChild<ToolPresentationView *>(u"tool-presentation"_s);
        QVERIFY(card);
        QVERIFY(card->findChild<QWidget *>(u"tool-card-diff"_s));
        // The row grew to the card's height and nothing overlaps it.
        QTRY_VERIFY(chip->height() > collapsed + 40);
        verifyRowsStack(list());
        QVERIFY2(accessibilityProblems(m_app.window.get()).isEmpty(),
                 qPrintable(accessibilityProblems(m_app.window.get()).join(u'\n')));

        // A short diff shows every line: no scrolling inside its box.
        const QList<LineBox *> boxes = card->findChildren<LineBox *>();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.front()->lines(), (QStringList{u"- a"_s, u"- b"_s, u"+ a"_s, u"+ c"_s}));
        QTRY_VERIFY(boxes.front()->isVisible());
        QCOMPARE(boxes.front()->verticalScrollBar()->maximum(), 0);

        auto *path = card->findChild<LinkButton *>(u"tool-card-file"_s);
        QVERIFY(path);
        QCOMPARE(path->text(), u"src/app.cpp"_s);
        QTest::mouseClick(path, Qt::LeftButton);
        QTRY_VERIFY(m_app.window->workspaceToolTabs().selectedTabID.has_value());
        const WorkspaceToolTab *tab = m_app.window->workspaceToolTabs().find(*m_app.window->workspaceToolTabs().selectedTabID);
        QVERIFY(tab);
        QCOMPARE(tab->tool, WorkspaceTool::Files);
        QCOMPARE(tab->requestedFileURL, QUrl::fromLocalFile(kCwd + u"/src/app.cpp"_s));

        // The open state belongs to the row: closing by keyboard removes the card.
        chip = chipTitled(u"编辑 app.cpp"_s);
        chip->header()->setFocus();
        QTest::keyClick(chip->header(), Qt::Key_Space);
        QVERIFY(!chip->isExpanded());
        QTRY_VERIFY(!chip->findChild<ToolPresentationView *>());
        verifyRowsStack(list());
    }

    // The status words of the cards are drawn in their colours inside the transcript: a clean
    // exit green, a failed one or a signal red, a cut-short search orange.
    void statusWordsShowTheirColours()
    {
        struct Card
        {
            QString title;
            QString view;
            QString name;
            QString text;
            QColor color;
        };
        const QList<Card> cards{
            {u"状态零"_s, uR"({"card":"terminal","title":"状态零","exitCode":0,"output":"ok"})"_s, u"tool-card-status"_s,
             u"exit 0"_s, Theme::success()},
            {u"状态二"_s, uR"({"card":"terminal","title":"状态二","exitCode":2,"output":"no"})"_s, u"tool-card-status"_s,
             u"exit 2"_s, Theme::systemRed()},
            {u"信号"_s, uR"({"card":"terminal","title":"信号","signal":"SIGKILL","output":""})"_s, u"tool-card-status"_s,
             u"SIGKILL"_s, Theme::systemRed()},
            {u"截断"_s, uR"({"card":"search","title":"截断","shape":"paths","paths":["a"],"total":40,"truncated":true})"_s,
             u"tool-card-count"_s, u"显示部分结果 · 共 40 项"_s, Theme::warning()},
        };
        m_app.world->appendEvent(kSession, events::stepStart(1, 4));
        int n = 0;
        for (const Card &card : cards) {
            const QString callId = u"c-status-"_s + QString::number(++n);
            m_app.world->logs().append(kSession, events::toolCall(1, 4, callId, u"bash"_s, u"{}"_s));
            m_app.world->logs().append(kSession, events::toolResult(1, 4, callId, u"done"_s),
                                   events::toolView(callId, jsonOf(card.view)));
        }
        openSessionFromTheSidebar();
        if (QTest::currentTestFailed())
            return;
        for (const Card &card : cards) {
            ToolCallChip *chip = nullptr;
            QTRY_VERIFY2((chip = chipTitled(card.title)), qPrintable(card.title));
            QTest::mouseClick(chip->header(), Qt::LeftButton);
            auto *view = chip->findChild<ToolPresentationView *>(u"tool-presentation"_s);
            QVERIFY(view);
            auto *word = view->findChild<QLabel *>(card.name);
            QVERIFY(word);
            QCOMPARE(word->text(), card.text);
            QTRY_VERIFY(word->isVisible() && word->width() > 0);
            const QImage drawn = word->grab().toImage();
            QVERIFY2(paintsNear(drawn, card.color), qPrintable(card.title));
            QVERIFY2(!paintsNear(drawn, Theme::primaryText(), 60), qPrintable(card.title));
            QTest::mouseClick(chipTitled(card.title)->header(), Qt::LeftButton); // closed again
        }
    }

    void aResultArrivingUpdatesTheOpenCardInPlace()
    {
        openSessionFromTheSidebar();
        if (QTest::currentTestFailed())
            return;
        ToolCallChip *chip = chipTitled(u"构建"_s);
        QVERIFY(chip);
        QCOMPARE(ToolCallChip::statusLabel(chip->block()), u"运行中"_s);
        QTest::mouseClick(chip->header(), Qt::LeftButton);
        QPointer<ToolPresentationView> card = chip->findChild<ToolPresentationView *>(u"tool-presentation"_s);
        QVERIFY(card);
        auto *output = card->findChild<LineBox *>(u"tool-card-output"_s);
        QVERIFY(output);
        const int before = chip->height();

        QString lines;
        for (int i = 1; i <= 12; ++i)
            lines += u"line %1\n"_s.arg(i);
        const JSONValue view = JSONValue::object({{u"card"_s, u"terminal"_s},
                                                  {u"title"_s, u"构建"_s},
                                                  {u"cwd"_s, kCwd},
                                                  {u"exitCode"_s, JSONValue(0)},
                                                  {u"output"_s, lines}});
        m_app.world->logs().appendAndPush(kSession, events::toolResult(1, 3, u"c-run"_s, lines),
                                      events::toolView(u"c-run"_s, view));
        QTRY_VERIFY_WITH_TIMEOUT(!ToolCallChip::statusLabel(chipTitled(u"构建"_s)->block()).has_value(), 10000);
        chip = chipTitled(u"构建"_s);
        QVERIFY(chip->isExpanded());
        // The same card shows the result; the row grew with it and the rows still stack.
        QVERIFY(card);
        QCOMPARE(chip->findChild<ToolPresentationView *>(u"tool-presentation"_s), card.data());
        QCOMPARE(card->findChild<QLabel *>(u"tool-card-status"_s)->text(), u"exit 0"_s);
        QVERIFY(card->findChild<LineBox *>(u"tool-card-output"_s)->lines().contains(u"line 12"_s));
        QTRY_VERIFY(chip->height() > before);
        verifyRowsStack(list());
    }

    // A result of megabytes (mixed Chinese and ASCII lines, or all of it in one line, or a diff
    // of tens of thousands of lines) opens and closes in place: the header under the pointer
    // stays, only the lines near the viewport are laid out, and after closing every row is where
    // it was and drawn.
    void aHugeResultOpensAndClosesInPlace_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("textName");
        QTest::addColumn<bool>("oneLine");
        QTest::newRow("no presentation") << u"grep"_s << QString() << u"tool-result"_s << false;
        QTest::newRow("generic card") << u"大结果"_s << uR"({"card":"generic","title":"大结果"})"_s
                                      << u"tool-card-section-text"_s << false;
        QTest::newRow("terminal card") << u"大输出"_s << uR"({"card":"terminal","title":"大输出","cwd":"/srv/project"})"_s
                                       << u"tool-card-output"_s << false;
        QTest::newRow("one line, generic card") << u"大结果"_s << uR"({"card":"generic","title":"大结果"})"_s
                                                << u"tool-card-section-text"_s << true;
        QTest::newRow("one line, terminal card")
            << u"大输出"_s << uR"({"card":"terminal","title":"大输出","cwd":"/srv/project"})"_s << u"tool-card-output"_s << true;
        QTest::newRow("diff card") << u"大改动"_s << uR"({"card":"diff","title":"大改动"})"_s << u"tool-card-diff-lines"_s
                                   << false;
    }

    void aHugeResultOpensAndClosesInPlace()
    {
        QFETCH(QString, title);
        QFETCH(QString, view);
        QFETCH(QString, textName);
        QFETCH(bool, oneLine);
        QString big;
        for (int i = 1; i <= 30000; ++i)
            big += u"第 %1 行：编译单元 src/module_%2.cpp 通过检查，warning count = 0\n"_s.arg(i).arg(i % 97);
        if (oneLine)
            big.replace(u'\n', u' ');
        const bool diff = textName == u"tool-card-diff-lines"_s;
        JSONValue presentation = view.isEmpty() ? JSONValue() : jsonOf(view);
        if (diff) {
            const JSONValue entry = JSONValue::object({{u"path"_s, u"big.txt"_s}, {u"oldText"_s, big}, {u"newText"_s, big}});
            presentation = presentation.with(u"diffs"_s, JSONValue::array({entry}));
        }
        m_app.world->appendEvent(kSession, events::stepStart(1, 4));
        const JSONValue call = events::toolCall(1, 4, u"c-big"_s, u"grep"_s, u"{\"pattern\":\"x\"}"_s);
        if (view.isEmpty()) {
            m_app.world->logs().append(kSession, call);
            m_app.world->logs().append(kSession, events::toolResult(1, 4, u"c-big"_s, big));
        } else {
            m_app.world->logs().append(kSession, call, events::toolView(u"c-big"_s, presentation));
            m_app.world->logs().append(kSession, events::toolResult(1, 4, u"c-big"_s, diff ? u"已修改"_s : big),
                                   events::toolView(u"c-big"_s, presentation));
        }
        // Rows below the card, which must come back as they were when it closes.
        m_app.world->appendEvent(kSession, events::stepStart(1, 5));
        m_app.world->appendEvent(kSession, events::textDelta(1, 5, 0, u"后面的回答"_s));
        m_app.world->appendEvent(kSession, events::assistantMessage(1, 5, u"后面的回答"_s));
        openSessionFromTheSidebar();
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(chipTitled(title), 10000);
        ToolCallChip *chip = chipTitled(title);
        QWidget *viewport = list()->viewport();
        // What each row on screen looks like: its place, and that it is drawn.
        const auto onScreen = [&] {
            QMap<QString, QRect> rows;
            for (TranscriptEntryView *entry : list()->liveViews()) {
                if (!entry->geometry().intersects(viewport->rect()))
                    continue;
                const QString key = entry->property("rowId").toString() + u'/' + entry->objectName();
                rows.insert(key, entry->isVisible() ? entry->geometry() : QRect());
            }
            return rows;
        };
        QTRY_VERIFY(chip->header()->isVisible());
        const QMap<QString, QRect> before = onScreen();
        QVERIFY(before.size() >= 2);
        // A scroll bar coming moves the column sideways; the header's height is what must hold.
        const int headerAt = chip->header()->mapTo(viewport, QPoint()).y();

        QTest::mouseClick(chip->header(), Qt::LeftButton);
        QVERIFY(chip->isExpanded());
        // The result's view (the arguments have one of their own under the same name).
        QWidget *text = chip->findChild<LongTextView *>(textName);
        if (!text)
            text = chip->findChild<LineBox *>(textName);
        QVERIFY(text);
        QTRY_VERIFY(text->isVisible());
        // The list has laid out the opened row, and any scroll it started has ended.
        QVERIFY(waitUntilMotionSettles(viewport->window()));
        QCOMPARE(chip->header()->mapTo(viewport, QPoint()).y(), headerAt);
        if (auto *lazy = qobject_cast<LongTextView *>(text)) {
            QCOMPARE(lazy->text(), big);
            QVERIFY2(lazy->laidOutLineCount() < 400, qPrintable(QString::number(lazy->laidOutLineCount())));
        } else if (diff) {
            auto *box = qobject_cast<LineBox *>(text);
            QVERIFY(box);
            QCOMPARE(box->lines().size(), qsizetype(2 * 30001));
            QCOMPARE(box->height(), 240);
            QTRY_VERIFY(box->isFilled());
            QCOMPARE(box->lines().back(), u"+ "_s);
        } else {
            auto *box = qobject_cast<LineBox *>(text);
            QVERIFY(box);
            QCOMPARE(box->lines().size(), qsizetype(oneLine ? 1 : 30001));
            QCOMPARE(box->height(), 260);
            QTRY_VERIFY(box->isFilled());
            if (oneLine) {
                QCOMPARE(box->blockCount(), int((big.size() + LineBox::kPieceLength - 1) / LineBox::kPieceLength));
                QCOMPARE(box->document()->lastBlock().text(), big.right(box->document()->lastBlock().text().size()));
            } else {
                QCOMPARE(box->blockCount(), 30001);
                QCOMPARE(box->document()->findBlockByNumber(29999).text(), big.section(u'\n', 29999, 29999));
            }
        }
        verifyRowsStack(list());

        chip = chipTitled(title);
        QTest::mouseClick(chip->header(), Qt::LeftButton);
        QVERIFY(!chip->isExpanded());
        QTRY_VERIFY(!chip->findChild<QWidget *>(textName));
        QTRY_COMPARE(onScreen(), before);
        // Drawn, not only placed: every row on screen has its content shown.
        for (TranscriptEntryView *entry : list()->liveViews()) {
            if (!entry->geometry().intersects(viewport->rect()))
                continue;
            auto *row = qobject_cast<TranscriptRenderRowView *>(entry);
            QVERIFY(!row || (row->content() && row->content()->isVisible()
                             && row->content()->geometry() == row->rect()));
        }
        QCOMPARE(chip->header()->mapTo(viewport, QPoint()).y(), headerAt);
        verifyRowsStack(list());
    }
};

NBD_GUI_TEST_MAIN(tst_ConversationCards)
#include "tst_conversationcards.moc"
