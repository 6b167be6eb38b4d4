#pragma once

#include "Session/Transcript.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

namespace nbd {

class SessionActions;
class SessionModel;

// The composer's switch of a session's permission preset: the pending mark shown while a
// switch is under way, and the full-access option awaiting confirmation. The mark goes when
// the host's permission state shows the new preset, at once when the store reports a
// refusal, and at the latest `settleDelayMs` after an accepted switch. Every switch belongs to
// the session it started for: a result that comes back after the session changed, or after the
// switch (and its composer) is gone, changes nothing.
class PermissionSwitch : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultSettleDelayMs = 2000;

    explicit PermissionSwitch(SessionActions *sessionActions, QObject *parent = nullptr);

    void setSettleDelayMs(int ms) { m_settleDelayMs = ms; }
    // The session the switch writes to. A change of session clears the mark and the
    // confirmation.
    void setSession(std::shared_ptr<SessionModel> session);

    const std::optional<QString> &pendingValue() const { return m_pendingValue; }
    const std::optional<PermissionOption> &fullAccessCandidate() const { return m_fullAccessCandidate; }
    bool fullAccessAcknowledged() const { return m_fullAccessAcknowledged; }

    // A menu choice: nothing for the preset in force or while a switch is pending; a
    // full-access preset waits for confirmation; any other switches at once.
    void choose(const PermissionOption &option, const QString &currentValue);
    void setFullAccessAcknowledged(bool acknowledged);
    // The confirmation's two buttons. Confirming needs the box ticked.
    void confirmFullAccess();
    void cancelFullAccess();
    // The confirmation went away by any path: the box starts unticked next time.
    void confirmationDismissed();

Q_SIGNALS:
    void changed();

private:
    void apply(const PermissionOption &option);
    void settle(quint64 attempt);
    void currentValueChanged();

    QPointer<SessionActions> m_sessionActions;
    std::shared_ptr<SessionModel> m_session;
    QMetaObject::Connection m_permissionsConnection;
    std::optional<QString> m_lastCurrentValue;
    int m_settleDelayMs = kDefaultSettleDelayMs;

    std::optional<QString> m_pendingValue;
    std::optional<PermissionOption> m_fullAccessCandidate;
    bool m_fullAccessAcknowledged = false;
    // Names the switch in flight; bumped by every switch and every session change, so a late
    // result can tell that the mark it would clear is no longer its own.
    quint64 m_attempt = 0;
};

} // namespace nbd
