// Reading the selected text on a real (virtual) X server, from a helper process that owns the
// PRIMARY selection and answers, refuses, hangs, delays or sends it in pieces; the clipboard of
// another application read the same way; and the Quick Ask capture raced against its time-out,
// driven by the global hot key, with a clipboard owner that never answers.

#include "GuiTestMain.h"
#include "PrimaryOwner.h"
#include "Store/QuickAskHUDModel.h"
#include "System/SelectionCapture.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"
#include "UI/QuickAsk/QuickAskHUDView.h"
#include "UI/QuickAsk/QuickAskPanel.h"
#include "X11EventBarrier.h"

#include <QClipboard>
#include <QProcess>
#include <QtTest>

#include <memory>

using namespace nbd;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Result = QuickAskSelectionReadResult;

#define OWN_SELECTION(name, ...)                                                                   \
    PrimaryOwner name(QStringList{__VA_ARGS__});                                                   \
    QVERIFY2(name.isReady(), "the helper owns PRIMARY")

} // namespace

class tst_SelectionCapture : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("NBD_PRIMARY_OWNER"), "the selection helper is built");
        QVERIFY(!qEnvironmentVariableIsEmpty("DISPLAY"));
    }

    void nobodyOwnsTheSelection()
    {
        QCOMPARE(SelectionCapture::selectedText(), Result::value(std::nullopt));
    }

    void noDisplayAtAll()
    {
        // An X display that does not exist reads as "nothing selected", like Wayland without one.
        QCOMPARE(SelectionCapture::selectedText(1000ms, ":4711"), Result::value(std::nullopt));
    }

    void ownerAnswers_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("text");
        // Untrimmed: trimming is the context policy's business.
        QTest::newRow("utf-8") << u"answer"_s << u"  两行\n文本 🙂  "_s;
        QTest::newRow("latin-1 only") << u"latin1"_s << u"café"_s;
        QTest::newRow("answers later") << u"delay"_s << u"slow but fine"_s;
    }

    void ownerAnswers()
    {
        QFETCH(QString, mode);
        QFETCH(QString, text);
        QStringList arguments{mode};
        if (mode == u"delay"_s)
            arguments << u"200"_s;
        arguments << text;
        PrimaryOwner owner(arguments);
        QVERIFY(owner.isReady());
        QCOMPARE(SelectionCapture::selectedText(2000ms), Result::value(text));
    }

    void emptySelectionIsNoText()
    {
        OWN_SELECTION(owner, u"answer"_s, QString());
        QCOMPARE(SelectionCapture::selectedText(), Result::value(std::nullopt));
    }

    void largeSelectionInPieces()
    {
        OWN_SELECTION(owner, u"incr"_s, u"300000"_s);
        const Result result = SelectionCapture::selectedText(10000ms);
        QCOMPARE(result.kind, Result::Kind::value);
        QVERIFY(result.text);
        QCOMPARE(result.text->size(), 300000);
        QCOMPARE(result.text->left(12), u"012345678901"_s);
        QCOMPARE(result.text->right(3), u"789"_s);
    }

    void refusingOwnerFails()
    {
        OWN_SELECTION(owner, u"refuse"_s);
        QCOMPARE(SelectionCapture::selectedText(), Result::failed());
    }

    void silentOwnerFailsAtTheLimit()
    {
        OWN_SELECTION(owner, u"hang"_s);
        QCOMPARE(SelectionCapture::selectedText(300ms), Result::failed());
    }

    void readsOffTheMainThread()
    {
        // The reader holds a connection of its own: several at once do not disturb each other.
        OWN_SELECTION(owner, u"answer"_s, u"shared"_s);
        std::vector<std::unique_ptr<QThread>> threads;
        std::vector<Result> results(4);
        for (std::size_t i = 0; i < results.size(); ++i) {
            threads.emplace_back(QThread::create([&results, i] { results[i] = SelectionCapture::selectedText(); }));
            threads.back()->start();
        }
        for (auto &thread : threads)
            QVERIFY(thread->wait(10000));
        for (const Result &result : results)
            QCOMPARE(result, Result::value(u"shared"_s));
    }

    void clipboardIsReadFromItsOwnOwner()
    {
        // Both selections owned by different applications: each read reaches its own owner.
        OWN_SELECTION(selection, u"answer"_s, u"selected words"_s);
        PrimaryOwner clipboard(PrimaryOwner::clipboard({u"answer"_s, u"  copied 剪贴板\n"_s}));
        QVERIFY(clipboard.isReady());
        QCOMPARE(SelectionCapture::selectionText(SelectionCapture::Selection::clipboard),
                 Result::value(u"  copied 剪贴板\n"_s));
        QCOMPARE(SelectionCapture::selectedText(), Result::value(u"selected words"_s));
    }

    void silentClipboardOwnerFailsAtTheLimit()
    {
        PrimaryOwner clipboard(PrimaryOwner::clipboard({u"hang"_s}));
        QVERIFY(clipboard.isReady());
        QCOMPARE(SelectionCapture::selectionText(SelectionCapture::Selection::clipboard, 300ms), Result::failed());
    }

    // ---- The capture of a Quick Ask presentation ----

    void presentationCarriesTheSelection()
    {
        OWN_SELECTION(owner, u"answer"_s, u"\n selected words \n"_s);
        QGuiApplication::clipboard()->setText(u"clipboard words"_s);
        QuickAskCoordinator coordinator(QuickAskCoordinator::Owners{});
        coordinator.present();
        QuickAskHUDModel *model = coordinator.model();
        QVERIFY(coordinator.isPanelVisible());
        QTRY_VERIFY(!model->isCapturingSelection());
        QCOMPARE(model->context(),
                 std::optional(QuickAskResolvedContext{QuickAskContextSource::systemSelection, u"selected words"_s}));
        QVERIFY(!model->contextIssue());
        QCOMPARE(coordinator.panel()->view()->statusText(), u"已携带系统选中文本"_s);
    }

    void slowOwnerTimesOutAndStaysTimedOut()
    {
        // The owner answers after 1 s; the panel gives up after 0.45 s and keeps the clipboard.
        OWN_SELECTION(owner, u"delay"_s, u"1000"_s, u"too late"_s);
        QGuiApplication::clipboard()->setText(u"clipboard words"_s);
        QuickAskCoordinator coordinator(QuickAskCoordinator::Owners{});
        coordinator.present();
        QuickAskHUDModel *model = coordinator.model();
        QVERIFY(model->isCapturingSelection());
        QCOMPARE(coordinator.panel()->view()->statusText(), u"正在读取选中文本"_s);
        // The clipboard is there while the read runs, and sending is already possible.
        QCOMPARE(model->context(),
                 std::optional(QuickAskResolvedContext{QuickAskContextSource::clipboard, u"clipboard words"_s}));
        QVERIFY(coordinator.panel()->view()->canSubmit());
        QTRY_COMPARE(model->contextIssue(), std::optional(QuickAskContextIssue::selectionTimedOut));
        QCOMPARE(coordinator.panel()->view()->statusText(), u"读取选区超时，已降级到剪贴板"_s);
        // The late answer arrives and the reader is done with it.
        QTRY_COMPARE_WITH_TIMEOUT(owner.releasedCount(), 1, 10000);
        QCoreApplication::processEvents();
        QCOMPARE(model->contextIssue(), std::optional(QuickAskContextIssue::selectionTimedOut));
        QCOMPARE(model->context()->source, QuickAskContextSource::clipboard);
    }

    void refusalFallsBackToTheClipboard()
    {
        OWN_SELECTION(owner, u"refuse"_s);
        QGuiApplication::clipboard()->setText(u"clipboard words"_s);
        QuickAskCoordinator coordinator(QuickAskCoordinator::Owners{});
        coordinator.present();
        QuickAskHUDModel *model = coordinator.model();
        QTRY_COMPARE(model->contextIssue(), std::optional(QuickAskContextIssue::selectionReadFailed));
        QCOMPARE(model->context()->text, u"clipboard words"_s);
        QCOMPARE(coordinator.panel()->view()->statusText(), u"当前 App 不支持读取选区，已降级到剪贴板"_s);
    }

    void noSelectionAndNoClipboard()
    {
        QGuiApplication::clipboard()->clear();
        QuickAskCoordinator coordinator(QuickAskCoordinator::Owners{});
        coordinator.present();
        QuickAskHUDModel *model = coordinator.model();
        // With the clipboard not ours, the panel opens once the X11 read of it has ended.
        QTRY_VERIFY(coordinator.isPanelVisible());
        QTRY_VERIFY(!model->isCapturingSelection());
        QVERIFY(!model->context());
        QCOMPARE(model->contextIssue(), std::optional(QuickAskContextIssue::noContext));
        QCOMPARE(coordinator.panel()->view()->statusText(), u"未检测到选中文本或文本剪贴板"_s);
        QVERIFY(!coordinator.panel()->view()->canSubmit());
    }

    void silentClipboardOwnerFreezesNothing()
    {
        // Another application owns the clipboard and never answers; nobody has a selection.
        PrimaryOwner clipboard(PrimaryOwner::clipboard({u"hang"_s}));
        QVERIFY(clipboard.isReady());
        QTRY_VERIFY(!QGuiApplication::clipboard()->ownsClipboard());
        int ticks = 0;
        QTimer heartbeat;
        heartbeat.setInterval(10ms);
        connect(&heartbeat, &QTimer::timeout, this, [&ticks] { ++ticks; });
        heartbeat.start();
        QuickAskCoordinator coordinator(QuickAskCoordinator::Owners{});
        QuickAskHUDModel *model = coordinator.model();
        int ticksWhenShown = -1;
        connect(model, &QuickAskHUDModel::presentationIDChanged, this, [&] { ticksWhenShown = ticks; });

        coordinator.present();
        const int ticksAtPresent = ticks;
        QTRY_VERIFY(coordinator.isPanelVisible());
        // The event loop ran while the clipboard was being read.
        QVERIFY2(ticksWhenShown > ticksAtPresent, "the heartbeat fired before the panel opened");
        QTRY_VERIFY(!model->isCapturingSelection());
        QVERIFY(!model->context());
        QCOMPARE(model->contextIssue(), std::optional(QuickAskContextIssue::noContext));

        // The hot key pressed again while the clipboard is still being read: the panel stays shut.
        coordinator.dismiss();
        coordinator.toggle();
        QVERIFY(coordinator.isPresentationPending());
        coordinator.toggle();
        QVERIFY(!coordinator.isPresentationPending());
        const qint64 presentations = model->presentationID();
        // The second read of the clipboard has given up too.
        QTRY_COMPARE_WITH_TIMEOUT(clipboard.releasedCount(), 2, 10000);
        QCoreApplication::processEvents();
        QVERIFY(!coordinator.isPanelVisible());
        QCOMPARE(model->presentationID(), presentations);
    }

    void hotKeyShowsAndHides()
    {
        OWN_SELECTION(owner, u"delay"_s, u"1000"_s, u"late words"_s);
        QGuiApplication::clipboard()->setText(u"clip"_s);
        QuickAskCoordinator coordinator(QuickAskCoordinator::Owners{});
        coordinator.start();
        QVERIFY(coordinator.isHotKeyRegistered());
        auto press = [] {
            QProcess xdotool;
            xdotool.start(u"xdotool"_s, {u"key"_s, u"ctrl+alt+space"_s});
            return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
        };
        QVERIFY(press());
        QTRY_VERIFY(coordinator.isPanelVisible());
        QuickAskHUDModel *model = coordinator.model();
        QCOMPARE(model->presentationID(), 1);
        // The panel takes the keyboard: typing goes into the question.
        QTRY_VERIFY(coordinator.panel()->view()->questionField()->hasFocus());
        QVERIFY(press());
        QTRY_VERIFY(!coordinator.isPanelVisible());
        QVERIFY(!model->isCapturingSelection());
        // The abandoned read answers later and is dropped.
        QTRY_COMPARE_WITH_TIMEOUT(owner.releasedCount(), 1, 10000);
        QCoreApplication::processEvents();
        QCOMPARE(model->context(), std::optional(QuickAskResolvedContext{QuickAskContextSource::clipboard, u"clip"_s}));
        QCOMPARE(model->contextIssue(), std::optional(QuickAskContextIssue::selectionUnavailable));
        coordinator.stop();
        QVERIFY(!coordinator.isHotKeyRegistered());
        QVERIFY(press());
        // The press has come in by the time the server's later event has.
        test::X11EventBarrier barrier;
        QVERIFY(barrier.pass());
        QVERIFY(!coordinator.isPresentationPending());
        QVERIFY(!coordinator.isPanelVisible());
    }
};

NBD_GUI_TEST_MAIN(tst_SelectionCapture)
#include "tst_selectioncapture.moc"
