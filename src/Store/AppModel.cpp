#include "Store/AppModel.h"

#include "Base/LogCategories.h"
#include "Domain/PayloadMembers.h"
#include "Domain/ProtocolNames.h"

#include <QPointer>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

const QString kConnectionLostMessage = u"与主机的连接已断开"_s;

} // namespace

AppModel::AppModel(std::unique_ptr<QSettings> settings, bool connectOnLaunch, QObject *parent)
    : QObject(parent)
    , m_settings(settings ? std::move(settings)
                          : std::make_unique<QSettings>(u"Nimbrel"_s, u"Nimbrel Deck"_s))
    , m_connection(new ConnectionController(this))
    , m_nbdProcess(new NBDProcessManager(this))
    , m_errors(new StoreErrors(m_alive, this))
    , m_settingsFile(std::make_unique<SettingsFile>(m_settings.get(), m_errors))
    , m_connectionSettings(new ConnectionSettings(m_alive, m_settingsFile.get(), m_connection, m_nbdProcess, this))
    , m_plugins(new PluginInventory(m_alive, m_connection, m_connectionSettings, this))
    , m_directory(new SessionDirectory(m_alive, m_connectionSettings, m_errors, m_plugins, this))
    , m_selection(new SessionSelection(m_alive, m_settingsFile.get(), m_connection, m_errors, m_directory, this))
    , m_interactions(new Interactions(m_alive, m_connection, m_errors, this))
    , m_sessionActions(new SessionActions(m_alive, m_connection, m_errors, m_selection, this))
    , m_hostSettings(new HostSettingsStore(m_connection, this))
    , m_connectionStatus(new ConnectionStatus(m_connection, m_nbdProcess, m_connectionSettings, this))
{

    QPointer<AppModel> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    m_connection->setFrameHandler([self, alive](const ServerRequest &frame) {
        if (alive.expired() || !self)
            return;
        self->route(frame);
    });
    SessionDirectory *directory = sessions();
    QObject::connect(connectionSettings(), &ConnectionSettings::connectionStarting, directory,
                     [directory] { directory->beginAwaitingSessionList(); });
    QObject::connect(connectionSettings(), &ConnectionSettings::connectionStarted, directory,
                     [directory] { directory->refreshAll(); });
    QObject::connect(connectionSettings(), &ConnectionSettings::connectionLost, this,
                     &AppModel::followConnectionLost);
    // Once ready again, the lists are read anew; the open sessions follow what they say runs.
    QObject::connect(connectionSettings(), &ConnectionSettings::connectionRestored, directory,
                     [directory] { directory->refreshAll(); });
    QObject::connect(m_connection, &ConnectionController::phaseChanged, this, &AppModel::followConnectionPhase);

    if (connectOnLaunch)
        connect();
}

AppModel::~AppModel()
{
    m_alive.reset();
    connectionSettings()->cancelConnecting();
    selection()->cancelLoads();
    m_sessionActions->cancelExports();
    m_connection->setFrameHandler({});
}

void AppModel::connect() { connectionSettings()->connect(); }

void AppModel::disconnect()
{
    connectionSettings()->cancelConnecting();
    selection()->cancelLoads();
    m_sessionActions->cancelExports();
    connectionSettings()->closeConnection();

    // In this order: views that follow several owners see the lists go before the
    // selection that pointed into them.
    sessions()->clearLists();
    selection()->clearSessionModels();
    interactions()->clear();
    sessions()->clearSubagentTree();
    plugins()->clear();
    selection()->clearSelection();
    sessions()->endAwaitingSessionList();
}

void AppModel::followConnectionLost()
{
    // A host that went away mid-turn tells nobody that its turns ended: nothing it ran is
    // shown as running any more, until it says so again.
    sessions()->markNothingRunning();
    errors()->setTransientError(kConnectionLostMessage);
}

void AppModel::followConnectionPhase()
{
    // Back, by its own reconnect or by the user's: the banner that said the connection was
    // lost goes now. Whatever another failure put there meanwhile stays.
    if (m_connection->phase().kind() == ConnectionPhase::Kind::Ready
        && errors()->transientError() == std::optional(kConnectionLostMessage))
        errors()->dismissTransientError();
}

void AppModel::route(const ServerRequest &frame)
{
    if (frame.type != u"server-request")
        return;
    const JSONValue payload = frame.payload.isObject() ? frame.payload : JSONValue::emptyObject();
    const QString &method = frame.method;

    if (method == u"session/event")
        selection()->routeLiveEvent(payload);
    else if (method == u"session/subscribed")
        selection()->routeSubscribed(payload);
    else if (method == u"session/projection")
        selection()->routeProjection(payload);
    else if (method == u"session/queue")
        selection()->routeQueue(payload);
    else if (method == names::jobsFrameMethod)
        selection()->routeJobs(payload);
    else if (method == u"approval/requested")
        interactions()->routeApprovalRequested(frame, payload);
    else if (method == u"approval/resolved")
        interactions()->routeApprovalResolved(payload);
    else if (method == u"question/requested")
        interactions()->routeQuestionRequested(frame, payload);
    else if (method == u"question/resolved")
        interactions()->routeQuestionResolved(payload);
    else if (method == u"host/session-status")
        sessions()->routeSessionStatus(payload);
    else if (method == u"host/session-added" || method == u"host/session-removed"
             || method == u"host/workspace-changed" || method == u"host/workspace-removed"
             || method == u"host/workspace-order-changed" || method == u"host/archived-sessions-changed")
        selection()->routeListChange();
    else if (method == u"host/agent-error")
        errors()->setTransientError(payload::stringMember(payload, u"message").value_or(u"agent error"_s));
    else if (method == u"host/remote-event")
        plugins()->routeRemoteEvent(payload);
    else if (method == u"stream/error")
        errors()->reportStreamError(payload);
    else
        qCInfo(lcStore).noquote() << "dropped a frame of unknown method" << method.left(200);
}

} // namespace nbd
