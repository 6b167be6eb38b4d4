#include "UI/Composer/PermissionSwitch.h"

#include "Session/SessionModel.h"
#include "Store/SessionActions.h"
#include "UI/Composer/ComposerLogic.h"

#include <QCoroTask>
#include <QTimer>

namespace nbd {

namespace {

std::optional<QString> currentValueOf(const SessionModel *session)
{
    if (!session || !session->permissions())
        return std::nullopt;
    return session->permissions()->currentValue;
}

} // namespace

PermissionSwitch::PermissionSwitch(SessionActions *sessionActions, QObject *parent)
    : QObject(parent)
    , m_sessionActions(sessionActions)
{
}

void PermissionSwitch::setSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session)
        return;
    const bool hadSession = m_session != nullptr;
    QObject::disconnect(m_permissionsConnection);
    m_session = std::move(session);
    m_lastCurrentValue = currentValueOf(m_session.get());
    if (m_session) {
        m_permissionsConnection =
            connect(m_session.get(), &SessionModel::permissionsChanged, this, &PermissionSwitch::currentValueChanged);
    }
    if (!hadSession)
        return;
    ++m_attempt;
    m_pendingValue.reset();
    m_fullAccessCandidate.reset();
    m_fullAccessAcknowledged = false;
    Q_EMIT changed();
}

void PermissionSwitch::currentValueChanged()
{
    const std::optional<QString> value = currentValueOf(m_session.get());
    if (value == m_lastCurrentValue)
        return;
    m_lastCurrentValue = value;
    if (m_pendingValue == value) {
        m_pendingValue.reset();
        Q_EMIT changed();
    }
}

void PermissionSwitch::choose(const PermissionOption &option, const QString &currentValue)
{
    if (option.value == currentValue || m_pendingValue)
        return;
    if (composer::isFullAccessPreset(option.value)) {
        m_fullAccessAcknowledged = false;
        m_fullAccessCandidate = option;
        Q_EMIT changed();
        return;
    }
    apply(option);
}

void PermissionSwitch::setFullAccessAcknowledged(bool acknowledged)
{
    if (m_fullAccessAcknowledged == acknowledged)
        return;
    m_fullAccessAcknowledged = acknowledged;
    Q_EMIT changed();
}

void PermissionSwitch::confirmFullAccess()
{
    if (!m_fullAccessCandidate || !m_fullAccessAcknowledged)
        return;
    const PermissionOption option = *m_fullAccessCandidate;
    m_fullAccessCandidate.reset();
    apply(option);
}

void PermissionSwitch::cancelFullAccess()
{
    if (!m_fullAccessCandidate)
        return;
    m_fullAccessCandidate.reset();
    Q_EMIT changed();
}

void PermissionSwitch::confirmationDismissed()
{
    m_fullAccessCandidate.reset();
    m_fullAccessAcknowledged = false;
    Q_EMIT changed();
}

void PermissionSwitch::apply(const PermissionOption &option)
{
    m_pendingValue = option.value;
    const quint64 attempt = ++m_attempt;
    Q_EMIT changed();
    if (!m_sessionActions || !m_session) {
        settle(attempt);
        return;
    }
    const std::weak_ptr<SessionModel> session = m_session;
    const QString value = option.value;
    // The callback is dropped when this switch is gone before the store answers.
    QCoro::connect(m_sessionActions->selectPermissionPreset(value, m_session->sessionId()), this,
                   [this, attempt, session, value](bool accepted) {
                       if (attempt != m_attempt)
                           return;
                       const std::shared_ptr<SessionModel> started = session.lock();
                       const bool alreadyShown = started && currentValueOf(started.get()) == value;
                       if (!accepted || alreadyShown) {
                           settle(attempt);
                           return;
                       }
                       QTimer::singleShot(m_settleDelayMs, Qt::PreciseTimer, this, [this, attempt] { settle(attempt); });
                   });
}

void PermissionSwitch::settle(quint64 attempt)
{
    if (attempt != m_attempt || !m_pendingValue)
        return;
    m_pendingValue.reset();
    Q_EMIT changed();
}

} // namespace nbd
