#include "Store/AppModel.h"

#include "Domain/ProtocolNames.h"
#include "Store/PayloadReading.h"

#include <QPointer>

using namespace Qt::StringLiterals;

namespace nbd {

AppModel::AppModel(std::unique_ptr<QSettings> settings, bool connectOnLaunch, QObject *parent)
    : QObject(parent)
    , m_settings(settings ? std::move(settings)
                          : std::make_unique<QSettings>(u"Nimbrel"_s, u"Nimbrel Deck"_s))
    , m_connection(new ConnectionController(this))
    , m_nbdProcess(new NBDProcessManager(this))
    , m_context(std::make_shared<StoreContext>())
{
    m_context->alive = m_alive;
    m_context->settings = m_settings.get();
    m_context->connection = m_connection;
    // Every owner is in the context before any of them runs: they reach one another only
    // through it.
    m_errors = new StoreErrors(m_alive, this);
    m_context->errors = m_errors;
    m_connectionSettings = new ConnectionSettings(m_context, m_nbdProcess, this);
    m_context->connectionSettings = m_connectionSettings;
    m_directory = new SessionDirectory(m_context, this);
    m_context->directory = m_directory;
    m_selection = new SessionSelection(m_context, this);
    m_context->selection = m_selection;
    m_interactions = new Interactions(m_context, this);
    m_context->interactions = m_interactions;
    m_plugins = new PluginInventory(m_context, this);
    m_context->plugins = m_plugins;
    m_sessionActions = new SessionActions(m_context, this);
    m_hostSettings = new HostSettingsStore(m_context, this);

    QPointer<AppModel> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    m_connection->setFrameHandler([self, alive](const ServerRequest &frame) {
        if (alive.expired() || !self)
            return;
        self->route(frame);
    });
    SessionDirectory *directory = m_directory;
    QObject::connect(m_connectionSettings, &ConnectionSettings::connectionStarting, directory,
                     [directory] { directory->beginAwaitingSessionList(); });
    QObject::connect(m_connectionSettings, &ConnectionSettings::connectionStarted, directory,
                     [directory] { directory->refreshAll(); });
    QObject::connect(m_connectionSettings, &ConnectionSettings::connectionLost, this,
                     &AppModel::followConnectionLost);
    QObject::connect(m_connectionSettings, &ConnectionSettings::connectionRestored, directory,
                     [directory] { directory->refreshAfterReconnect(); });

    if (connectOnLaunch)
        connect();
}

AppModel::~AppModel()
{
    m_alive.reset();
    m_connectionSettings->cancelConnecting();
    m_selection->cancelLoads();
    m_sessionActions->cancelExports();
    m_connection->setFrameHandler({});
}

void AppModel::connect() { m_connectionSettings->connect(); }

void AppModel::disconnect()
{
    m_connectionSettings->cancelConnecting();
    m_selection->cancelLoads();
    m_sessionActions->cancelExports();
    m_connectionSettings->closeConnection();

    // In this order: views that follow several owners see the lists go before the
    // selection that pointed into them.
    m_directory->clearLists();
    m_selection->clearSessionModels();
    m_interactions->clear();
    m_directory->clearSubagentTree();
    m_plugins->clear();
    m_selection->clearSelection();
    m_directory->endAwaitingSessionList();
}

void AppModel::followConnectionLost()
{
    // A host that went away mid-turn tells nobody that its turns ended: nothing it ran is
    // shown as running any more, until it says so again.
    m_directory->markNothingRunning();
    m_selection->markNothingRunning();
    m_errors->setTransientError(u"与主机的连接已断开"_s);
}

void AppModel::route(const ServerRequest &frame)
{
    if (frame.type != u"server-request")
        return;
    const JSONValue payload = frame.payload.isObject() ? frame.payload : JSONValue::emptyObject();
    const QString &method = frame.method;

    if (method == u"session/event")
        m_selection->routeLiveEvent(payload);
    else if (method == u"session/subscribed")
        m_selection->routeSubscribed(payload);
    else if (method == u"session/projection")
        m_selection->routeProjection(payload);
    else if (method == u"session/queue")
        m_selection->routeQueue(payload);
    else if (method == names::jobsFrameMethod)
        m_selection->routeJobs(payload);
    else if (method == u"approval/requested")
        m_interactions->routeApprovalRequested(frame, payload);
    else if (method == u"approval/resolved")
        m_interactions->routeApprovalResolved(payload);
    else if (method == u"question/requested")
        m_interactions->routeQuestionRequested(frame, payload);
    else if (method == u"question/resolved")
        m_interactions->routeQuestionResolved(payload);
    else if (method == u"host/session-status")
        m_directory->routeSessionStatus(payload);
    else if (method == u"host/session-added" || method == u"host/session-removed"
             || method == u"host/workspace-changed" || method == u"host/workspace-removed"
             || method == u"host/workspace-order-changed" || method == u"host/archived-sessions-changed")
        m_directory->routeListChange();
    else if (method == u"host/agent-error")
        m_errors->setTransientError(payload::stringMember(payload, u"message").value_or(u"agent error"_s));
    else if (method == u"host/remote-event")
        m_plugins->routeRemoteEvent(payload);
    else if (method == u"stream/error")
        m_errors->reportStreamError(payload);
}

} // namespace nbd
