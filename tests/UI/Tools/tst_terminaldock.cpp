// The terminal dock driven by keys and clicks over a real terminal model.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"

#include "Store/WorkspaceTerminalModel.h"
#include "UI/Shared/BatchedTextWriter.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/WorkspaceTerminalDock.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QVBoxLayout>

#include <algorithm>

#include <csignal>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

class TerminalDockTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<QWidget> m_window;
    WorkspaceTerminalModel *m_model = nullptr;
    WorkspaceTerminalDock *m_dock = nullptr;
    int m_closed = 0;

    template<typename T = QWidget>
    T *child(const QString &name) { return m_dock->findChild<T *>(name); }
    QLineEdit *input() { return child<QLineEdit>(u"workspace-terminal-input"_s); }
    QPlainTextEdit *output() { return child<QPlainTextEdit>(u"workspace-terminal-output"_s); }

    void verifyAccessible()
    {
        const QStringList problems = nbd::test::accessibilityProblems(m_window.get());
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
    }

    // Waits for the command to end and its last line to be written; the output then holds
    // exactly the lines it keeps.
    const QTextDocument *waitForLastLine(const QString &last)
    {
        if (!QTest::qWaitFor([this] { return !m_model->isRunning(); }, 60000))
            return nullptr;
        const QTextDocument *doc = output()->document();
        if (!QTest::qWaitFor([&] { return doc->lastBlock().text() == last; }, 10000))
            return nullptr;
        return doc->blockCount() == WorkspaceTerminalDock::kMaxShownLines ? doc : nullptr;
    }

    // The texts of the output's last `count` lines.
    QStringList lastLines(qsizetype count)
    {
        QStringList lines;
        for (QTextBlock block = output()->document()->lastBlock(); block.isValid() && lines.size() < count;
             block = block.previous())
            lines.prepend(block.text());
        return lines;
    }

    void type(const QString &line)
    {
        QTest::mouseClick(input(), Qt::LeftButton);
        QTest::keyClicks(input(), line);
        QTest::keyClick(input(), Qt::Key_Return);
    }

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.path()).mkpath(u"src"_s);
        m_window = std::make_unique<QWidget>();
        m_window->resize(800, 300);
        m_model = new WorkspaceTerminalModel(QUrl::fromLocalFile(m_dir.path()), m_window.get());
        m_dock = new WorkspaceTerminalDock(m_model, [this] { ++m_closed; }, m_window.get());
        auto *layout = new QVBoxLayout(m_window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_dock);
        m_closed = 0;
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup() { m_window.reset(); }

    void linesRunAndTheFieldEmptiesAtOnce()
    {
        QCOMPARE(child<QLabel>(u"workspace-terminal-prompt"_s)->text(), m_model->prompt());
        type(u"   "_s);
        QCOMPARE(input()->text(), QString());
        QVERIFY(m_model->records().isEmpty());

        type(u"cd src"_s);
        QCOMPARE(input()->text(), QString());
        QVERIFY(child<QLabel>(u"workspace-terminal-prompt"_s)->text().endsWith(u" src %"_s));
        type(u"cd nowhere"_s);
        const QTextDocument *doc = output()->document();
        QVERIFY(doc->toPlainText().endsWith(u"cd: no such directory: nowhere"_s));
        // The error is red, the command before it is not.
        const auto colorAt = [](const QTextBlock &block) {
            QTextCursor cursor(block);
            cursor.movePosition(QTextCursor::NextCharacter);
            return cursor.charFormat().foreground().color();
        };
        QCOMPARE(colorAt(doc->lastBlock()), Theme::systemRed());
        QCOMPARE(colorAt(doc->lastBlock().previous()), Theme::primaryText());
        verifyAccessible();
    }

    void whileRunningTheFieldIsOffAndStopInterrupts()
    {
        auto *stop = child<ChromeIconButton>(u"workspace-terminal-stop"_s);
        QVERIFY(!stop->isVisible());
        type(u"echo start; sleep 30"_s);
        QVERIFY(m_model->isRunning());
        QVERIFY(!input()->isEnabled());
        QVERIFY(stop->isVisible());
        QVERIFY(child(u"workspace-terminal-spinner"_s)->isVisible());
        // Typing into the disabled field adds nothing.
        QTest::keyClicks(input(), u"ls"_s);
        QTest::keyClick(input(), Qt::Key_Return);
        QCOMPARE(m_model->records().size(), 1);
        // The keyboard left the field for no button: typing on, blanks and all, neither stops
        // nor clears the terminal.
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus);
        QVERIFY2(!qobject_cast<QAbstractButton *>(focus), focus->metaObject()->className());
        QTest::keyClicks(focus, u"git status "_s);
        QTest::keyClick(focus, Qt::Key_Return);
        QVERIFY(m_model->isRunning());
        QCOMPARE(m_model->records().size(), 1);
        verifyAccessible();

        QTRY_VERIFY_WITH_TIMEOUT(output()->toPlainText().contains(u"start"_s), 20000);
        QTest::mouseClick(stop, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isRunning(), 10000);
        QVERIFY(input()->isEnabled());
        QVERIFY(!stop->isVisible());
        QVERIFY(!child(u"workspace-terminal-spinner"_s)->isVisible());
        QVERIFY(output()->document()->lastBlock().text().startsWith(u"进程退出，状态码 "_s));
    }

    // Ctrl+C copies the selected output, and interrupts the running command when nothing is
    // selected, as in a terminal.
    void ctrlCCopiesASelectionElseInterrupts()
    {
        type(u"echo start; sleep 30"_s);
        QTRY_VERIFY_WITH_TIMEOUT(output()->toPlainText().contains(u"start"_s), 20000);
        output()->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(output(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(output(), Qt::Key_C, Qt::ControlModifier);
        QVERIFY(QApplication::clipboard()->text().contains(u"start"_s));
        QVERIFY(m_model->isRunning());

        QTest::keyClick(output(), Qt::Key_End, Qt::ControlModifier);
        QVERIFY(!output()->textCursor().hasSelection());
        QTest::keyClick(output(), Qt::Key_C, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isRunning(), 10000);
        QCOMPARE(m_model->records().last().text, u"进程退出，状态码 %1\n"_s.arg(SIGINT));
    }

    void newOutputScrollsToTheBottomAndClearEmpties()
    {
        type(u"seq 1 300"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->isRunning(), 20000);
        QScrollBar *bar = output()->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        bar->setValue(0);
        type(u"cd src"_s);
        QCOMPARE(bar->value(), bar->maximum());

        QTest::mouseClick(child<ChromeIconButton>(u"workspace-terminal-clear"_s), Qt::LeftButton);
        QVERIFY(m_model->records().isEmpty());
        QCOMPARE(output()->toPlainText(), QString());
        type(u"cd .."_s);
        QCOMPARE(output()->document()->blockCount(), 1);
        QVERIFY(output()->toPlainText().endsWith(u"cd .."_s));
    }

    void theOutputKeepsTheLastLinesInOrder()
    {
        // One write per line, so that no line is split between two records.
        type(u"i=0; while [ $i -lt 12000 ]; do i=$((i+1)); echo $i; done"_s);
        const QTextDocument *doc = waitForLastLine(u"12000"_s);
        QVERIFY2(doc, qPrintable(output()->document()->lastBlock().text()));
        int expected = 12000 - WorkspaceTerminalDock::kMaxShownLines + 1;
        for (QTextBlock block = doc->firstBlock(); block.isValid(); block = block.next(), ++expected)
            QCOMPARE(block.text(), QString::number(expected));
        QScrollBar *bar = output()->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
    }

    void aFloodIsShownByItsEnd()
    {
        type(u"yes | head -c 16777216; echo end"_s);
        const QTextDocument *doc = waitForLastLine(u"end"_s);
        QVERIFY2(doc, qPrintable(output()->document()->lastBlock().text()));
        for (QTextBlock block = doc->firstBlock(); block != doc->lastBlock(); block = block.next())
            QCOMPARE(block.text(), u"y"_s);

        // Clearing drops what was still to be written as well.
        QTest::mouseClick(child<ChromeIconButton>(u"workspace-terminal-clear"_s), Qt::LeftButton);
        QCOMPARE(output()->toPlainText(), QString());
        type(u"echo again"_s);
        QTRY_COMPARE_WITH_TIMEOUT(output()->toPlainText(), m_model->prompt() + u" echo again\nagain"_s, 10000);
    }

    void bytesItCannotPrintShowAsTerminalsShowThem_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("shown");
        const QString bad(QChar(QChar::ReplacementCharacter));
        QTest::newRow("escape and bell") << QByteArray("a\x1b[1mb\x07" "c") << QStringList{u"a"_s + bad + u"[1mb"_s + bad + u"c"_s};
        QTest::newRow("nul and delete") << QByteArray("a\0b\x7f" "c", 5) << QStringList{u"a"_s + bad + u"b"_s + bad + u"c"_s};
        QTest::newRow("c1 control") << QByteArray("a\xc2\x85" "b") << QStringList{u"a"_s + bad + u"b"_s};
        QTest::newRow("private use, unassigned") << QByteArray("\xee\x80\x80x\xcd\xb8y\xf3\xb0\x80\x80")
                                                 << QStringList{bad + u"x"_s + bad + u"y"_s + bad};
        QTest::newRow("noncharacter") << QByteArray("a\xef\xb7\x90" "b") << QStringList{u"a"_s + bad + u"b"_s};
        QTest::newRow("crlf is one break") << QByteArray("a\r\nb") << QStringList{u"a"_s, u"b"_s};
        QTest::newRow("carriage return") << QByteArray("a\rb\r\r\nc") << QStringList{u"a"_s, u"b"_s, QString(), u"c"_s};
        QTest::newRow("paragraph separator") << QByteArray("a\xe2\x80\xa9" "b") << QStringList{u"a"_s, u"b"_s};
        const QString scripts = u"a\tb ދިވެހި 中文 العربية नमस्ते ߒߞߏ e\u0301 \U0001F468\u200D\U0001F469\u200D\U0001F467 \u200C\uFEFF"_s;
        QTest::newRow("text of every script stays") << scripts.toUtf8() << QStringList{scripts};
    }

    void bytesItCannotPrintShowAsTerminalsShowThem()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, shown);
        QString escaped;
        for (const char byte : std::as_const(bytes))
            escaped += u'\\' + QString::number(static_cast<unsigned char>(byte), 8).rightJustified(3, u'0');
        type(u"printf '"_s + escaped + u"\\nend\\n'"_s);
        QVERIFY(QTest::qWaitFor([this] { return !m_model->isRunning(); }, 20000));
        shown << u"end"_s;
        QTRY_COMPARE_WITH_TIMEOUT(lastLines(shown.size()), shown, 10000);
        // The model keeps what the command wrote.
        QVERIFY(std::any_of(m_model->records().begin(), m_model->records().end(), [&](const TerminalRecord &record) {
            return record.text.toUtf8().contains(bytes);
        }));
    }

    // Lines ended by a carriage return and a line feed, written one at a time, the pair even
    // split between two writes, make one line each.
    void writesEndingInCrlfAddNoEmptyLines()
    {
        type(u"printf 'a\\r\\n'; sleep 0.2; printf 'b\\r'; sleep 0.2; printf '\\nc\\r\\n'"_s);
        QVERIFY(QTest::qWaitFor([this] { return !m_model->isRunning(); }, 20000));
        QTRY_COMPARE_WITH_TIMEOUT(lastLines(4), (QStringList{m_model->prompt() + u" printf 'a\\r\\n'; sleep 0.2; printf 'b\\r'; sleep 0.2; printf '\\nc\\r\\n'"_s, u"a"_s, u"b"_s, u"c"_s}), 10000);
    }

    // Paging up through long lines lays out block after block; only those near the view keep
    // their layouts, and a block scrolled back into view is laid out again.
    void farBlocksLetGoOfTheirLayouts()
    {
        type(u"yes \"$(head -c 300 /dev/zero | tr '\\0' x)\" | head -n 6000; echo end"_s);
        QVERIFY2(waitForLastLine(u"end"_s), qPrintable(output()->document()->lastBlock().text()));
        const QTextDocument *doc = output()->document();
        const auto laidOut = [doc] {
            int blocks = 0;
            for (QTextBlock block = doc->firstBlock(); block.isValid(); block = block.next())
                blocks += block.layout()->lineCount() > 0;
            return blocks;
        };
        constexpr int bound = 2 * BatchedTextWriter::kLaidOutMargin + 40;
        QTest::mouseClick(output()->viewport(), Qt::LeftButton);
        QTest::keyClick(output(), Qt::Key_End, Qt::ControlModifier);
        QScrollBar *bar = output()->verticalScrollBar();
        for (int page = 0; page < 200; ++page)
            QTest::keyClick(output(), Qt::Key_PageUp);
        // Far more blocks were passed than the bound.
        QVERIFY2(doc->findBlockByLineNumber(bar->value()).blockNumber() < doc->blockCount() - 3 * bound,
                 qPrintable(QString::number(bar->value())));
        QTRY_VERIFY2(laidOut() <= bound, qPrintable(QString::number(laidOut())));
        QTest::keyClick(output(), Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(output(), Qt::Key_End, Qt::ControlModifier);
        QTRY_VERIFY2(laidOut() <= bound, qPrintable(QString::number(laidOut())));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(doc->lastBlock().layout()->lineCount() > 0);
        QCOMPARE(doc->lastBlock().text(), u"end"_s);
    }

    // Clear, close and stop do by their accessibility action what their click does, while a
    // command runs (stop shows only then).
    void actionsDoWhatClicksDo()
    {
        nbd::test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            cleanup();
            init();
            type(u"echo start; sleep 30"_s);
            // The command's own output, not the line that echoes the command.
            (void)QTest::qWaitFor([&] {
                const QList<TerminalRecord> &records = m_model->records();
                return std::any_of(records.begin(), records.end(), [](const TerminalRecord &record) {
                    return record.kind == TerminalRecord::Kind::Output && record.text.trimmed() == u"start"_s;
                });
            }, 20000);
            return m_window.get();
        };
        // The records this command makes; the shell's start-up may write lines of its own.
        check.state = [&] {
            bool command = false, start = false, exit = false;
            for (const TerminalRecord &record : m_model->records()) {
                command = command || record.kind == TerminalRecord::Kind::Command;
                start = start || (record.kind == TerminalRecord::Kind::Output && record.text.trimmed() == u"start"_s);
                exit = exit || (record.kind == TerminalRecord::Kind::Error && record.text.startsWith(u"进程退出"_s));
            }
            return u"closed="_s + QString::number(m_closed) + u" running="_s + QString::number(m_model->isRunning())
                + u" command="_s + QString::number(command) + u" start="_s + QString::number(start) + u" exit="_s
                + QString::number(exit);
        };
        check.async = true;
        const nbd::test::ActionParityReport report = nbd::test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        QVERIFY2(report.controls.size() >= 3, qPrintable(report.controls.join(u'\n')));
        QCOMPARE(qsizetype(report.changed), report.controls.size());
    }

    // Tab goes from the header's buttons down to the output and the field, as they are shown;
    // Return presses a focused button.
    void keyboardFollowsTheDock()
    {
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        const QStringList problems = nbd::test::tabOrderProblems(m_window.get(), 4);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        const QList<QWidget *> chain = nbd::test::tabChain(m_window.get());
        QCOMPARE(chain.first()->objectName(), u"workspace-terminal-clear"_s);
        QCOMPARE(chain.last(), static_cast<QWidget *>(input()));

        type(u"echo hello"_s);
        QTRY_VERIFY(!m_model->isRunning() && output()->toPlainText().contains(u"hello"_s));
        QWidget *clear = chain.first();
        clear->setFocus(Qt::TabFocusReason);
        QTest::keyClick(clear, Qt::Key_Return);
        QVERIFY(m_model->records().isEmpty());
        QWidget *close = chain.at(1);
        close->setFocus(Qt::TabFocusReason);
        QTest::keyClick(close, Qt::Key_Return);
        QCOMPARE(m_closed, 1);
    }

    void closeOnlyHidesAndLeavesTheCommandRunning()
    {
        type(u"sleep 2"_s);
        QTest::mouseClick(child<ChromeIconButton>(u"workspace-terminal-close"_s), Qt::LeftButton);
        QCOMPARE(m_closed, 1);
        QVERIFY(m_model->isRunning());
        QCOMPARE(m_model->records().size(), 1);
    }
};

NBD_GUI_TEST_MAIN(TerminalDockTest)
#include "tst_terminaldock.moc"
