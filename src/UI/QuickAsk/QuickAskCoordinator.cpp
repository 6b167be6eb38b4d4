#include "UI/QuickAsk/QuickAskCoordinator.h"

#include "Store/ConnectionStatus.h"
#include "System/SelectionCapture.h"
#include "UI/QuickAsk/QuickAskPanel.h"

#include <QApplication>
#include <QClipboard>
#include <QFutureWatcher>
#include <QPromise>
#include <QWidget>

#include <QCoroSignal>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Whether the clipboard must be read over X11 off the UI thread: another application may own
// it there, and QClipboard would then wait for that owner on the UI thread. The app's own
// clipboard is answered locally, and without X11 (Wayland, offscreen) QClipboard does not
// wait on other clients.
bool clipboardOwnedElsewhereOnX11()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return false;
    const QClipboard *clipboard = QGuiApplication::clipboard();
    return !clipboard || !clipboard->ownsClipboard();
}

std::optional<QString> clipboardTextFromQt()
{
    if (const QClipboard *clipboard = QGuiApplication::clipboard()) {
        const QString text = clipboard->text(QClipboard::Clipboard);
        if (!text.isNull())
            return text;
    }
    return std::nullopt;
}

// Reads the X11 CLIPBOARD on `pool`; the caller's event loop runs meanwhile. Nothing when the
// owner refuses, does not answer, or the read has not ended within `limit`.
QCoro::Task<std::optional<QString>> clipboardTextFromX11(QThreadPool *pool, std::chrono::milliseconds limit)
{
    auto promise = std::make_shared<QPromise<QuickAskSelectionReadResult>>();
    QFutureWatcher<QuickAskSelectionReadResult> watcher;
    watcher.setFuture(promise->future());
    pool->start([promise, limit] {
        promise->start();
        promise->addResult(SelectionCapture::selectionText(SelectionCapture::Selection::clipboard, limit));
        promise->finish();
    });
    // The reader gives up at the same limit; waiting here as well keeps the bound when the
    // pool is slow to start the read.
    co_await qCoro(static_cast<QFutureWatcherBase *>(&watcher), &QFutureWatcherBase::finished, limit);
    const QFuture<QuickAskSelectionReadResult> future = watcher.future();
    if (!future.isFinished() || future.resultCount() == 0)
        co_return std::nullopt;
    const QuickAskSelectionReadResult result = future.result();
    if (result.kind != QuickAskSelectionReadResult::Kind::value)
        co_return std::nullopt;
    co_return result.text;
}

} // namespace

QuickAskCoordinator::QuickAskCoordinator(Owners owners, QObject *parent)
    : QObject(parent)
    , m_owners(std::move(owners))
    , m_model(new QuickAskHUDModel(this))
{
    // One read at a time: a hung owner delays later reads, each still ended by its own time-out.
    m_selectionQueue.setMaxThreadCount(1);
    m_captureTimeout.setSingleShot(true);
    m_captureTimeout.setTimerType(Qt::PreciseTimer);
    m_captureTimeout.setInterval(captureTimeout);
    connect(&m_captureTimeout, &QTimer::timeout, this, [this] { m_model->timeOutCapture(m_timedCapture); });
}

QuickAskCoordinator::~QuickAskCoordinator()
{
    m_alive.reset();
    m_hotKey.unregister();
    m_captureTimeout.stop();
    delete m_panel;
    // A read still running finishes within its own limit; its result finds nobody.
    m_selectionQueue.waitForDone();
    m_clipboardReads.waitForDone();
}

void QuickAskCoordinator::start()
{
    QPointer<QuickAskCoordinator> self(this);
    m_hotKey.registerControlOptionSpace([self] {
        if (self)
            self->toggle();
    });
}

void QuickAskCoordinator::stop()
{
    m_hotKey.unregister();
    cancelPendingPresentation();
    m_captureTimeout.stop();
    ++m_submissionGeneration;
    m_model->invalidateCapture();
    if (m_panel)
        m_panel->dismiss();
    if (!m_stopped) {
        m_stopped = true;
        Q_EMIT stopped();
    }
}

QuickAskPanel *QuickAskCoordinator::panel()
{
    if (!m_panel) {
        QPointer<QuickAskCoordinator> self(this);
        QuickAskPanel::Actions actions;
        actions.onSubmit = [self] {
            if (self)
                self->submit();
        };
        actions.onDismiss = [self] {
            if (self)
                self->dismiss();
        };
        actions.onRequestAccessibility = [self] {
            if (self)
                self->requestAccessibilityPermission();
        };
        m_panel = new QuickAskPanel(m_model, std::move(actions));
    }
    return m_panel;
}

bool QuickAskCoordinator::isPanelVisible() const { return m_panel && m_panel->isShown(); }

void QuickAskCoordinator::toggle()
{
    if (isPanelVisible() || m_presentationPending)
        dismiss();
    else
        present();
}

void QuickAskCoordinator::show()
{
    if (isPanelVisible())
        panel()->present();
    else if (!m_presentationPending)
        present();
}

void QuickAskCoordinator::present()
{
    // A newer presentation (or dismiss(), stop()) makes a pending one's clipboard read stale.
    const quint64 generation = ++m_presentationGeneration;
    m_presentationPending = true;
    QCoro::Task<void> task = runPresentation(generation);
    Q_UNUSED(task);
}

void QuickAskCoordinator::cancelPendingPresentation()
{
    ++m_presentationGeneration;
    m_presentationPending = false;
}

QCoro::Task<void> QuickAskCoordinator::runPresentation(quint64 generation)
{
    std::optional<QString> clipboardText;
    if (clipboardOwnedElsewhereOnX11()) {
        QPointer<QuickAskCoordinator> self(this);
        const std::weak_ptr<const bool> alive = m_alive;
        clipboardText = co_await clipboardTextFromX11(&m_clipboardReads, clipboardReadTimeout);
        if (alive.expired() || !self || generation != m_presentationGeneration)
            co_return;
    } else {
        clipboardText = clipboardTextFromQt();
    }
    m_presentationPending = false;
    beginPresentation(std::move(clipboardText));
}

void QuickAskCoordinator::beginPresentation(std::optional<QString> clipboardText)
{
    // X11 needs no accessibility permission: the selection belongs to whoever owns PRIMARY,
    // and no owner reads as "nothing selected".
    const bool trusted = true;
    const QUuid captureID = m_model->beginCapture(clipboardText, trusted);
    panel()->present();

    QPointer<QuickAskCoordinator> self(this);
    m_selectionQueue.start([self, captureID] {
        const QuickAskSelectionReadResult result = SelectionCapture::selectedText();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, result, captureID] {
                if (self)
                    self->m_model->completeCapture(result, captureID);
            },
            Qt::QueuedConnection);
    });
    m_timedCapture = captureID;
    m_captureTimeout.start();
}

void QuickAskCoordinator::dismiss()
{
    cancelPendingPresentation();
    m_captureTimeout.stop();
    m_model->invalidateCapture();
    if (m_panel)
        m_panel->dismiss();
}

void QuickAskCoordinator::submit()
{
    if (m_model->isSubmitting())
        return;
    const std::optional<QString> prompt = QuickAskContextPolicy::composePrompt(m_model->question(), m_model->context());
    if (!prompt)
        return;
    if (!m_owners.sessions || !m_owners.sessionActions || !m_owners.errors)
        return;
    const ConnectionPhase phase =
        m_owners.connectionStatus ? m_owners.connectionStatus->phase() : ConnectionPhase::disconnected();
    if (phase.kind() != ConnectionPhase::Kind::Ready) {
        m_model->setErrorMessage(u"Nimbrel Deck "_s + phase.label() + u"，暂时无法发送。"_s);
        return;
    }
    m_model->setSubmitting(true);
    m_model->setErrorMessage(std::nullopt);
    startSubmission(*prompt);
}

void QuickAskCoordinator::startSubmission(QString prompt)
{
    // A newer submission (or stop()) makes this one's result stale.
    const quint64 generation = ++m_submissionGeneration;
    QCoro::Task<void> task = runSubmission(std::move(prompt), generation);
    Q_UNUSED(task);
}

QCoro::Task<void> QuickAskCoordinator::runSubmission(QString prompt, quint64 generation)
{
    QPointer<QuickAskCoordinator> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    // Guarded copies: the store may go away while the host answers.
    const Owners store = m_owners;
    if (!store.sessions)
        co_return;
    const std::optional<QString> sessionId =
        co_await store.sessions->createAndSelectSession(std::nullopt, std::nullopt);
    if (alive.expired() || !self || generation != m_submissionGeneration)
        co_return;
    if (sessionId && store.sessionActions) {
        // The prompt goes to the session this creation made, whatever is selected now. The
        // panel waits for the host to take it: a prompt that was not sent stays in the panel
        // with the reason, instead of going with it.
        const bool sent = co_await store.sessionActions->sendPrompt(prompt, *sessionId);
        if (alive.expired() || !self || generation != m_submissionGeneration)
            co_return;
        m_model->setSubmitting(false);
        if (!sent) {
            const std::optional<QString> transient = store.errors ? store.errors->transientError() : std::nullopt;
            m_model->setErrorMessage(transient.value_or(u"未能发送快速问询。"_s));
            co_return;
        }
        if (m_panel)
            m_panel->dismiss();
        revealMainWindow(*sessionId);
        co_return;
    }
    m_model->setSubmitting(false);
    const std::optional<QString> transient = store.errors ? store.errors->transientError() : std::nullopt;
    m_model->setErrorMessage(transient.value_or(u"未能创建快速问询会话。"_s));
}

void QuickAskCoordinator::requestAccessibilityPermission()
{
    // Reading the X11 selection needs no permission, so the capture never asks for one and
    // there is nothing to request here.
}

void QuickAskCoordinator::revealMainWindow(const QString &selectedSessionID)
{
    if (!m_owners.selection || m_owners.selection->selectedSessionId() != selectedSessionID)
        return;
    if (m_mainWindowOpener) {
        m_mainWindowOpener();
        return;
    }
    QWidget *target = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget == m_panel || widget->windowType() != Qt::Window)
            continue;
        if (widget->objectName() == u"main"_s) {
            target = widget;
            break;
        }
    }
    if (!target)
        return;
    target->show();
    target->raise();
    target->activateWindow();
}

} // namespace nbd
