#pragma once

#include "Store/ConnectionSettings.h"
#include "Store/ConnectionStatus.h"
#include "Store/QuickAskHUDModel.h"
#include "Store/SessionActions.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "Store/StoreErrors.h"
#include "System/GlobalHotKey.h"

#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>

namespace nbd {

class QuickAskPanel;

// Owns Quick Ask: the global hot key, the panel and its model, the capture of the selected text
// (read on a serial worker, raced against a 0.45 s time-out, the clipboard as fallback) and
// sending a question as a new session. On X11 the clipboard of another application is read off
// the UI thread too, within the same 0.45 s: an owner that never answers would otherwise freeze
// the app for seconds inside QClipboard. The panel opens once that read has ended.
class QuickAskCoordinator : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds captureTimeout{450};
    static constexpr std::chrono::milliseconds clipboardReadTimeout{450};

    // What a question needs: the connection's state to say whether it can be sent, the
    // directory that makes its session, the action that sends it, the errors that say why not
    // and the selection the main window shows. Without them nothing is sent.
    struct Owners
    {
        QPointer<ConnectionStatus> connectionStatus;
        QPointer<SessionDirectory> sessions;
        QPointer<SessionSelection> selection;
        QPointer<SessionActions> sessionActions;
        QPointer<StoreErrors> errors;
    };

    explicit QuickAskCoordinator(Owners owners, QObject *parent = nullptr);
    ~QuickAskCoordinator() override;

    // Registers Ctrl+Alt+Space; throws GlobalHotKeyRegistrationError unchanged (the panel then
    // stays reachable from the tray).
    void start();
    void stop();
    // The hot key: hides a visible panel (or abandons one still waiting for the clipboard),
    // presents it otherwise.
    void toggle();
    // The tray entry: a visible panel is only placed again and focused (no new capture).
    void show();
    // Shows the panel for a new question and starts the capture. Where another X11 client owns
    // the clipboard, both happen once its text has been read off the UI thread (at most
    // clipboardReadTimeout later); otherwise at once.
    void present();
    void dismiss();
    void submit();
    void requestAccessibilityPermission();
    // Brings the main window forward once the answered session is still the selected one.
    void revealMainWindow(const QString &selectedSessionID);
    // How the application opens its main window, built anew when it was closed; without one
    // only a main window that still exists is brought forward.
    void installMainWindowOpener(std::function<void()> opener) { m_mainWindowOpener = std::move(opener); }

    QuickAskHUDModel *model() const { return m_model; }
    QuickAskPanel *panel();
    bool isPanelVisible() const;
    // The panel is about to open: the clipboard of another application is being read.
    bool isPresentationPending() const { return m_presentationPending; }
    bool isStopped() const { return m_stopped; }
    bool isHotKeyRegistered() const { return m_hotKey.isRegistered(); }

Q_SIGNALS:
    void stopped();

private:
    QCoro::Task<void> runPresentation(quint64 generation);
    void beginPresentation(std::optional<QString> clipboardText);
    void cancelPendingPresentation();
    QCoro::Task<void> runSubmission(QString prompt, quint64 generation);
    void startSubmission(QString prompt);

    Owners m_owners;
    GlobalHotKeyRegistration m_hotKey;
    QuickAskHUDModel *m_model;
    QThreadPool m_selectionQueue;
    // Not serial: a clipboard owner that hangs must not hold up the read of the next presentation.
    QThreadPool m_clipboardReads;
    quint64 m_presentationGeneration = 0;
    bool m_presentationPending = false;
    QTimer m_captureTimeout;
    QUuid m_timedCapture;
    quint64 m_submissionGeneration = 0;
    QPointer<QuickAskPanel> m_panel;
    std::function<void()> m_mainWindowOpener;
    bool m_stopped = false;
    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
};

} // namespace nbd
