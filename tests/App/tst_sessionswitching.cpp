// The main window while the shown session changes under it: quick clicks through the sidebar
// while history pages, attachments and subagent lists are still on their way, and a host
// stream that drops or restarts while a subagent run is shown. Late replies must find the
// views they were meant for gone and leave the window as the user last set it.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "AppWindowTestSupport.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"

#include "App/ContentView.h"
#include "Session/SessionModel.h"
#include "SimHost.h"
#include "SimSessions.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Conversation/SessionHeader.h"
#include "UI/Conversation/TranscriptRowViews.h"
#include "UI/Shared/ChromeIconButton.h"

#include <QAbstractButton>
#include <QBuffer>
#include <QImage>
#include <QMenu>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;
namespace events = nbd::sim::events;

namespace {

constexpr int kSessions = 6;
constexpr int kTurns = 30;

QString sessionId(int i) { return u"s"_s + QString::number(i); }

QString pngBase64()
{
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QString::fromLatin1(bytes.toBase64());
}

JSONValue imageRef(const QString &attachmentId)
{
    return JSONValue::object({{u"attachmentId"_s, attachmentId},
                              {u"mediaType"_s, u"image/png"_s},
                              {u"bytes"_s, JSONValue(100)},
                              {u"width"_s, JSONValue(8)},
                              {u"height"_s, JSONValue(6)}});
}

// A history with every kind of row: user messages (some with an image), reasoning, a tool call
// with its card, Markdown answers.
void fillHistory(sim::SimWorld &world, const QString &id, const QString &image)
{
    for (int turn = 1; turn <= kTurns; ++turn) {
        JSONValue::Elements parts{JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, id + u" 问题 "_s + QString::number(turn)}})};
        if (turn % 4 == 0) {
            const QString attachmentId = id + u"-img-"_s + QString::number(turn);
            parts.push_back(JSONValue::object({{u"type"_s, u"image"_s}, {u"attachment"_s, imageRef(attachmentId)}}));
            world.setAttachment(id, imageRef(attachmentId), image);
        }
        world.appendEvent(id, events::draft(u"user/message"_s, JSONValue::object({{u"id"_s, id + u"-m"_s + QString::number(turn)},
                                                                               {u"content"_s, JSONValue::array(parts)}})));
        world.appendEvent(id, events::turnStart(turn));
        world.appendEvent(id, events::stepStart(turn, 1));
        world.appendEvent(id, events::blockStart(turn, 1, 0, u"reasoning"_s));
        world.appendEvent(id, events::reasoningDelta(turn, 1, 0, u"想一想"_s));
        const QString callId = id + u"-c"_s + QString::number(turn);
        world.logs().append(id, events::toolCall(turn, 1, callId, u"bash"_s, u"{\"command\":\"ls\"}"_s));
        world.logs().append(id, events::toolResult(turn, 1, callId, u"a\nb"_s),
                            events::toolView(callId, JSONValue::object({{u"card"_s, u"terminal"_s},
                                                                        {u"exitCode"_s, JSONValue(0)},
                                                                        {u"output"_s, u"a\nb"_s}})));
        world.appendEvent(id, events::stepStart(turn, 2));
        const QString answer = u"## 第 %1 轮\n\n- **要点** 一\n- `代码` 二\n\n```sh\nls -la\n```"_s.arg(turn);
        world.appendEvent(id, events::textDelta(turn, 2, 0, answer));
        world.appendEvent(id, events::assistantMessage(turn, 2, answer));
        world.appendEvent(id, events::turnEnd(turn));
    }
}

} // namespace

class tst_SessionSwitching : public QObject
{
    Q_OBJECT

    test::AppWindowHarness m_app;
    std::unique_ptr<QSignalSpy> m_finished; // every request the host is done with

    ConversationView *conversation() const { return m_app.conversation(); }

    void openWindow()
    {
        m_app.openWindow(QSize(1280, 860));
        if (QTest::currentTestFailed())
            return;
        for (int i = 0; i < kSessions; ++i)
            QTRY_VERIFY_WITH_TIMEOUT(m_app.sessionRow(sessionId(i)), 20000);
    }

    void clickSession(const QString &id) { m_app.clickSessionRow(id, 24); }

    void waitUntilShown(const QString &id)
    {
        QTRY_VERIFY_WITH_TIMEOUT(conversation()->shownSession() && conversation()->shownSession()->sessionId() == id
                                     && conversation()->shownSession()->historyLoaded(),
                                 20000);
        // The transcript shows this session's own rows, measured and stacked.
        TranscriptListView *list = conversation()->transcript()->list();
        QTRY_VERIFY(list->liveViewCount() > 0);
        for (TranscriptEntryView *view : list->liveViews()) {
            auto *row = qobject_cast<TranscriptRenderRowView *>(view);
            if (row && row->row().user())
                QVERIFY2(row->row().user()->text.startsWith(id + u' '), qPrintable(row->row().user()->text));
        }
    }

private Q_SLOTS:
    void init()
    {
        m_app.startHost();
        m_finished = std::make_unique<QSignalSpy>(m_app.host.get(), &sim::SimHost::requestFinished);
        const QString image = pngBase64();
        for (int i = 0; i < kSessions; ++i) {
            sim::SimWorld::Session session = test::session(sessionId(i), 10000 - i);
            session.cwd = u"/srv/p"_s + QString::number(i);
            m_app.world->addSession(session);
            fillHistory(*m_app.world, session.id, image);
        }
        // s0 has a subagent run with a history of its own.
        sim::SimWorld::Session child = test::session(u"s0-sub"_s, 1);
        child.parentSessionId = sessionId(0);
        m_app.world->addSession(child);
        fillHistory(*m_app.world, child.id, image);
        m_app.world->setSubagents(sessionId(0), {sim::SimWorld::SubagentEntry{u"s0-sub"_s, u"child"_s, u"continuable"_s, {}, {}, u"检查员"_s}});
    }

    void cleanup()
    {
        m_finished.reset();
        m_app.stop();
    }

    void quickSidebarClicksWhileRepliesAreOnTheirWay()
    {
        // Every reply arrives late, so most of them land after the user moved on.
        m_app.world->logs().setHistoryDelay(35);
        const QString image = pngBase64();
        m_app.host->setHandler(u"session.attachment"_s, [image](const sim::LoggedRequest &request) -> sim::Reply {
            const JSONValue *id = request.payload.find(u"attachmentId");
            const QString attachmentId = id ? id->string().value_or(QString()) : QString();
            const JSONValue value = JSONValue::object({{u"attachment"_s, imageRef(attachmentId)}, {u"data"_s, image}});
            return sim::Reply::value(value).delayed(45);
        });
        openWindow();
        if (QTest::currentTestFailed())
            return;

        QRandomGenerator random(20261209);
        for (int i = 0; i < 90; ++i) {
            clickSession(sessionId(int(random.bounded(kSessions))));
            if (i % 6 == 0) {
                // Older history is asked for and the session is left before it arrives.
                if (auto *older = conversation()->findChild<QAbstractButton *>(u"load-older-button"_s);
                    older && older->isVisible() && older->isEnabled())
                    QTest::mouseClick(older, Qt::LeftButton);
            }
            if (i % 9 == 0) {
                // Scrolling brings rows (and their image loads) in and out of existence.
                QWidget *viewport = conversation()->transcript()->list()->viewport();
                const QPoint at = viewport->rect().center();
                QWheelEvent wheel(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, 720), Qt::NoButton, Qt::NoModifier,
                                  Qt::NoScrollPhase, false);
                QCoreApplication::sendEvent(viewport, &wheel);
            }
            // Between two clicks none, one or two of the replies on their way land.
            const qsizetype landed = std::min<qsizetype>(m_finished->size() + random.bounded(3), m_app.host->requests().size());
            QTRY_VERIFY_WITH_TIMEOUT(m_finished->size() >= landed, 10000);
        }
        // Let every late reply come in, then the last click decides what is shown.
        const QString last = sessionId(3);
        clickSession(last);
        QVERIFY(waitUntilHostQuiet(*m_app.host, m_app.store->connection()->wire()));
        waitUntilShown(last);
        QCOMPARE(m_app.store->selection()->selectedSessionId(), std::optional<QString>(last));
        QVERIFY2(accessibilityProblems(m_app.window.get()).isEmpty(),
                 qPrintable(accessibilityProblems(m_app.window.get()).join(u'\n')));
    }

    void streamDropsAndHostRestartsWhileASubagentIsShown()
    {
        openWindow();
        if (QTest::currentTestFailed())
            return;
        clickSession(sessionId(0));
        waitUntilShown(sessionId(0));
        std::shared_ptr<SessionModel> parent = conversation()->shownSession();

        // The subagent is picked from the header's catalogue menu, with the mouse.
        QAbstractButton *catalog = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((catalog = conversation()->header()->findChild<QAbstractButton *>(u"subagent-catalog"_s))
                                     && catalog->isVisible() && catalog->text() == u"1"_s,
                                 10000);
        bool picked = false;
        QTimer::singleShot(0, this, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction *action : menu->actions()) {
                if (action->objectName() == u"subagent-row"_s && action->isEnabled()) {
                    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
                    picked = true;
                    return;
                }
            }
            menu->close();
        });
        QTest::mouseClick(catalog, Qt::LeftButton);
        QVERIFY(picked);
        waitUntilShown(u"s0-sub"_s);
        QVERIFY(m_app.store->selection()->selectedSubagent().has_value());

        // The stream goes away and comes back: the host now reports newer events for the
        // parent than it folded, so the parent needs a resync while the subagent is shown.
        QSignalSpy streamsBack(m_app.host.get(), &sim::SimHost::streamConnected);
        const auto muxReconnects = [&streamsBack] {
            return std::count_if(streamsBack.begin(), streamsBack.end(), [](const QList<QVariant> &args) {
                return args.at(0).value<sim::Stream>() == sim::Stream::Mux;
            });
        };
        for (int round = 0; round < 3; ++round) {
            m_app.host->abortStreams(sim::Stream::Mux);
            // Pushed once the client is back, so the frames reach it.
            QTRY_VERIFY_WITH_TIMEOUT(muxReconnects() > round, 20000);
            m_app.world->pushSubscribed(sessionId(0), m_app.world->logs().lastSeq(sessionId(0)) + 5);
            m_app.world->pushSubscribed(u"s0-sub"_s, m_app.world->logs().lastSeq(u"s0-sub"_s) + 5);
        }
        m_app.host->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!m_app.store->connection()->phase().isConnected(), 20000);
        QVERIFY(m_app.host->listenAgain());
        QTRY_VERIFY_WITH_TIMEOUT(m_app.host->connectedCount(sim::Stream::Mux) > 0, 20000);
        m_app.world->pushSubscribed(sessionId(0), m_app.world->logs().lastSeq(sessionId(0)) + 7);
        // Frames reach the sessions in the order they were pushed: once a projection sent
        // after it has arrived, so has the subscription.
        m_app.world->pushProjection(sessionId(0), u"test.witness"_s, JSONValue(true));
        QTRY_VERIFY_WITH_TIMEOUT(parent->liveProjectionValues().count(u"test.witness"_s) > 0
                                     || std::any_of(parent->bufferedProjections().begin(), parent->bufferedProjections().end(),
                                                    [](const auto &p) { return p.first == u"test.witness"; }),
                                 20000);
        // Still the subagent, still whole.
        QVERIFY(m_app.store->selection()->selectedSubagent().has_value());
        waitUntilShown(u"s0-sub"_s);

        // The parent was left with a gap while hidden; it is mended once shown again.
        QVERIFY(parent->needsResync());
        QAbstractButton *back = conversation()->header()->backButton();
        QVERIFY(back && back->isVisible());
        QTest::mouseClick(back, Qt::LeftButton);
        waitUntilShown(sessionId(0));
        QTRY_VERIFY_WITH_TIMEOUT(!conversation()->shownSession()->needsResync(), 20000);
        QVERIFY(!m_app.store->selection()->selectedSubagent().has_value());
        waitUntilShown(sessionId(0));
    }
};

NBD_GUI_TEST_MAIN(tst_SessionSwitching)
#include "tst_sessionswitching.moc"
