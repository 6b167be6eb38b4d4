#pragma once

#include "AsyncTest.h"
#include "ObservableWaits.h"
#include "SimHost.h"
#include "SimWorld.h"
#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "Store/SessionSelection.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace nbd::test {

// A store on a temporary configuration file, beside a simulated host with a world.
class StoreHarness
{
public:
    StoreHarness() : world(&host)
    {
        QVERIFY2(dir.isValid(), "temporary directory");
        QVERIFY2(host.listen(), "simulated host listens");
    }

    QString settingsPath() const { return dir.filePath(QStringLiteral("nimbrel.ini")); }

    // A second handle on the store's configuration file, for seeding and reading back.
    std::unique_ptr<QSettings> openSettings() const
    {
        return std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat);
    }

    void seed(const QString &key, const QVariant &value) const
    {
        auto settings = openSettings();
        settings->setValue(key, value);
        settings->sync();
    }

    // Configured for the simulated host in external mode unless seeded otherwise.
    AppModel *makeStore(bool connectOnLaunch = false)
    {
        auto settings = openSettings();
        if (!settings->contains(QStringLiteral("nbd.serverURL")))
            settings->setValue(QStringLiteral("nbd.serverURL"), host.baseUrl().toString());
        if (!settings->contains(QStringLiteral("nbd.launchMode")))
            settings->setValue(QStringLiteral("nbd.launchMode"), QStringLiteral("external"));
        settings->sync();
        settings.reset();
        store = std::make_unique<AppModel>(openSettings(), connectOnLaunch);
        return store.get();
    }

    // Connects and waits for the first refresh's lists (and its plugin refresh) to land.
    AppModel *connected()
    {
        AppModel *s = store ? store.get() : makeStore();
        s->connect();
        waitForListed();
        return s;
    }

    void waitForListed()
    {
        QTRY_VERIFY_WITH_TIMEOUT(store->plugins()->hostPluginInventoryAvailable().has_value()
                                     && !store->plugins()->pluginInventoryLoading(),
                                 20000);
    }

    void waitForStreams()
    {
        QTRY_VERIFY_WITH_TIMEOUT(store->connection()->phase().isConnected(), 20000);
    }

    // Connected, its lists in and its event streams open: where the view tests start.
    void connectedAndStreaming()
    {
        connected();
        waitForStreams();
    }

    // Selects the session and waits until its history is in; null when it does not arrive.
    std::shared_ptr<SessionModel> openSession(const QString &id)
    {
        SessionSelection *selection = store->selection();
        selection->selectSession(id);
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(selection->sessionModel(id) && selection->sessionModel(id)->historyLoaded(), 20000);
        }();
        return selection->sessionModel(id);
    }

    int requestCount(const QString &method) const { return int(host.requests(method).size()); }

    // Every method the host logged, after a barrier call through the store's own client when
    // it has one: what the store had sent is in, and the answers before it have reached it.
    QStringList methodsThroughBarrier()
    {
        const std::optional<WireClient> client = store ? store->connection()->wire() : std::nullopt;
        return client ? test::methodsThroughBarrier(host, *client) : test::methodsThroughBarrier(host);
    }

    // Waits until the calls a view makes as it opens (catalogue refreshes and the like) have
    // arrived.
    void waitForQuietHost() const
    {
        (void)waitUntilHostQuiet(host, store ? store->connection()->wire() : std::nullopt);
    }

    // The calls the host received after the first `baseline` ones, by name, in order.
    QString methodsSince(qsizetype baseline) const
    {
        QStringList methods;
        const QList<sim::LoggedRequest> all = host.requests();
        for (qsizetype i = baseline; i < all.size(); ++i)
            methods << all[i].method;
        return methods.join(u',');
    }

    QTemporaryDir dir;
    sim::SimHost host;
    sim::SimWorld world;
    std::unique_ptr<AppModel> store;
};

inline sim::SimWorld::Session session(const QString &id, double updatedAt)
{
    sim::SimWorld::Session s;
    s.id = id;
    s.updatedAt = updatedAt;
    return s;
}

inline QStringList sessionIds(const AppModel &store)
{
    QStringList ids;
    for (const SessionSummary &s : store.sessions()->sessions())
        ids.append(s.sessionId);
    return ids;
}

// The text of a logged prompt request (its first content part), empty when it has none.
inline QString promptText(const sim::LoggedRequest &request)
{
    const JSONValue *content = request.payload.find(u"content");
    if (!content || content->elements().empty())
        return QString();
    const JSONValue *text = content->elements()[0].find(u"text");
    return text ? text->string().value_or(QString()) : QString();
}

// The session a logged request names, empty when it names none.
inline QString sessionIdOf(const sim::LoggedRequest &request)
{
    const JSONValue *id = request.payload.find(u"sessionId");
    return id ? id->string().value_or(QString()) : QString();
}

// The texts of the session's user messages, in transcript order.
inline QStringList userTexts(const SessionModel &model)
{
    QStringList texts;
    for (const TranscriptItem &item : model.items()) {
        if (const auto *user = std::get_if<UserMessageItem>(&item))
            texts.append(user->text);
    }
    return texts;
}

} // namespace nbd::test
