#include "GuiTestMain.h"
#include "AccessibilityWalk.h"
#include "App/ViewOwners.h"
#include "AppModelTestSupport.h"
#include "ObservableWaits.h"
#include "ShownText.h"
#include "UI/Shared/SidebarMaterialBackground.h"
#include "UI/Sidebar/NewSessionPopover.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Sidebar/SidebarRowViews.h"
#include "UI/Shared/Motion.h"
#include "UI/Settings/SettingsView.h"
#include "UI/Sidebar/SidebarView.h"
#include "UI/Shared/Theme.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QDialog>
#include <QFileDialog>
#include <QGraphicsEffect>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::sim::LoggedRequest;
using nbd::sim::Reply;

using ProcessKind = NBDProcessManager::Phase::Kind;
Q_DECLARE_METATYPE(nbd::ConnectionPhase)
Q_DECLARE_METATYPE(nbd::NBDProcessManager::Phase)
Q_DECLARE_METATYPE(nbd::LaunchMode)

namespace {

NBDProcessManager::Phase process(ProcessKind kind)
{
    switch (kind) {
    case ProcessKind::Attached: return NBDProcessManager::Phase::attached(QUrl(u"http://127.0.0.1:1"_s));
    case ProcessKind::Running: return NBDProcessManager::Phase::running(QUrl(u"http://127.0.0.1:1"_s));
    case ProcessKind::Failed: return NBDProcessManager::Phase::failed(u"x"_s);
    case ProcessKind::Idle: return NBDProcessManager::Phase::idle();
    case ProcessKind::Probing: return NBDProcessManager::Phase::probing();
    case ProcessKind::Locating: return NBDProcessManager::Phase::locating();
    case ProcessKind::Starting: return NBDProcessManager::Phase::starting();
    }
    return {};
}

template<typename T>
T *findTopLevel(const QString &objectName)
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *w : widgets) {
        if (auto *t = qobject_cast<T *>(w); t && t->objectName() == objectName && t->isVisible())
            return t;
    }
    return nullptr;
}

QString payloadString(const LoggedRequest &request, const QString &key)
{
    const JSONValue *value = request.payload.find(key);
    return value && value->isString() ? *value->stringPtr() : u"<missing>"_s;
}

} // namespace

class tst_SidebarView : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::StoreHarness> h;
    std::unique_ptr<QWidget> window;
    SidebarView *sidebar = nullptr;
    bool searchShown = true;

    // A store connected to a simulated world with two workspaces and a few sessions, and a
    // sidebar on it in a window of its own.
    void makeSidebar()
    {
        h = std::make_unique<test::StoreHarness>();
        auto s = [](QString id, double t, QString title) {
            auto session = test::session(id, t);
            session.title = title;
            return session;
        };
        h->world.addSession(s(u"a"_s, 1000, u"Alpha"_s));
        h->world.addSession(s(u"b"_s, 3000, u"Beta"_s));
        h->world.addSession(s(u"c"_s, 2000, u"Gamma"_s));
        h->world.addSession(s(u"d"_s, 4000, u"Delta"_s));
        h->world.addWorkspace({u"w1"_s, u"/src/R&D <one>"_s, u"One"_s, {u"a"_s, u"b"_s}});
        h->world.addWorkspace({u"w2"_s, u"/src/two"_s, u"Two"_s, {u"b"_s}});
        h->connected();
        showSidebar();
        sidebar->rebuildNow();
    }

    // A sidebar on the harness's store in a window of its own.
    void showSidebar()
    {
        window = std::make_unique<QWidget>();
        window->resize(300, 700);
        searchShown = true;
        AppModel *store = h->store.get();
        sidebar = new SidebarView(store->sessions(), store->selection(), settingsOwners(store), {},
                                  Binding<bool>{[this] { return searchShown; }, [this](bool v) { searchShown = v; }},
                                  window.get());
        sidebar->setGeometry(0, 0, 300, 700);
        window->show();
    }

    // The same column over a long list: one workspace of 300 sessions, then 20 under "最近".
    void makeLongSidebar()
    {
        h = std::make_unique<test::StoreHarness>();
        QStringList claimed;
        for (int i = 0; i < 320; ++i) {
            auto session = test::session(u"s%1"_s.arg(i, 3, 10, QLatin1Char('0')), 100000.0 - i);
            session.title = u"Session %1"_s.arg(i);
            h->world.addSession(session);
            if (i < 300)
                claimed << session.id;
        }
        h->world.addWorkspace({u"w1"_s, u"/src/long"_s, u"Long"_s, claimed});
        h->connected();
        showSidebar();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTRY_COMPARE(sidebar->list()->rows().size(), size_t(1 + 300 + 1 + 20));
    }

    // Every row widget shows its own row, and only rows near the viewport have one.
    void verifyLiveRows()
    {
        SidebarListView *list = sidebar->list();
        const int top = list->verticalScrollBar()->value();
        const int span = list->viewport()->height();
        int live = 0;
        for (size_t i = 0; i < list->rows().size(); ++i) {
            QWidget *widget = list->rowWidget(i);
            if (!widget)
                continue;
            ++live;
            const SidebarListRow &row = list->rows()[i];
            QCOMPARE(widget->objectName(), row.session() ? u"session-row-"_s + row.session()->id()
                                                         : (row.workspace() ? u"workspace-header-w1"_s : u"section-最近"_s));
            QCOMPARE(widget->y(), list->rowTop(i));
            if (!widget->hasFocus()) {
                QVERIFY2(list->rowTop(i) + SidebarListView::rowHeight(row) >= top - span - SidebarListView::rowHeight(row)
                             && list->rowTop(i) <= top + 2 * span + SidebarListView::rowHeight(row),
                         qPrintable(u"row %1 far from the viewport"_s.arg(i)));
            }
            if (const auto *data = row.session()) {
                QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
                QCOMPARE(face->text(QAccessible::Name), data->displayTitle);
                QCOMPARE(face->role(), QAccessible::ListItem);
                QCOMPARE(bool(face->state().selected), data->isSelected);
            }
        }
        QCOMPARE(list->liveRowCount(), live);
        QVERIFY(live > 0);
        QVERIFY2(live <= 3 * span / SessionRowView::kHeight + 4, qPrintable(QString::number(live)));
    }

    QStringList rowIds() const
    {
        QStringList ids;
        for (const SidebarListRow &row : sidebar->list()->rows())
            ids.append(row.id());
        return ids;
    }

private Q_SLOTS:
    void cleanup()
    {
        const auto widgets = QApplication::topLevelWidgets();
        for (QWidget *w : widgets) {
            if (w != window.get())
                w->close();
        }
        window.reset();
        sidebar = nullptr;
        h.reset();
        Motion::setReduceMotion(false);
    }

    void connectionDetail_data()
    {
        QTest::addColumn<ConnectionPhase>("phase");
        QTest::addColumn<NBDProcessManager::Phase>("processPhase");
        QTest::addColumn<LaunchMode>("mode");
        QTest::addColumn<QString>("detail");
        QTest::newRow("ready, attached") << ConnectionPhase::ready() << process(ProcessKind::Attached)
                                         << LaunchMode::Embedded << u"已附着本地 Host"_s;
        QTest::newRow("ready, attached, external") << ConnectionPhase::ready() << process(ProcessKind::Attached)
                                                   << LaunchMode::External << u"已附着本地 Host"_s;
        QTest::newRow("ready, launched") << ConnectionPhase::ready() << process(ProcessKind::Running)
                                         << LaunchMode::External << u"内置 Host"_s;
        QTest::newRow("ready, idle, external") << ConnectionPhase::ready() << process(ProcessKind::Idle)
                                               << LaunchMode::External << u"外部 Host"_s;
        QTest::newRow("ready, failed, external") << ConnectionPhase::ready() << process(ProcessKind::Failed)
                                                 << LaunchMode::External << u"外部 Host"_s;
        QTest::newRow("ready, idle, embedded") << ConnectionPhase::ready() << process(ProcessKind::Idle)
                                               << LaunchMode::Embedded << u"本地 Host"_s;
        QTest::newRow("ready, starting, embedded") << ConnectionPhase::ready() << process(ProcessKind::Starting)
                                                   << LaunchMode::Embedded << u"本地 Host"_s;
        QTest::newRow("disconnected, attached") << ConnectionPhase::disconnected() << process(ProcessKind::Attached)
                                                << LaunchMode::Embedded << u"未连接"_s;
        QTest::newRow("connecting") << ConnectionPhase::connecting() << process(ProcessKind::Running)
                                    << LaunchMode::Embedded << u"连接中…"_s;
        QTest::newRow("reconnecting") << ConnectionPhase::reconnecting() << process(ProcessKind::Idle)
                                      << LaunchMode::External << u"重连中…"_s;
        QTest::newRow("failed") << ConnectionPhase::failed(u"boom"_s) << process(ProcessKind::Idle)
                                << LaunchMode::External << u"连接失败：boom"_s;
    }

    void connectionDetail()
    {
        QFETCH(ConnectionPhase, phase);
        QFETCH(NBDProcessManager::Phase, processPhase);
        QFETCH(LaunchMode, mode);
        QFETCH(QString, detail);
        QCOMPARE(nbd::connectionDetail(phase, processPhase, mode), detail);
    }

    void phaseColours()
    {
        QCOMPARE(connectionPhaseColor(ConnectionPhase::reconnecting()), connectionPhaseColor(ConnectionPhase::connecting()));
        QCOMPARE(connectionPhaseColor(ConnectionPhase::ready()).green(), 148);
        QCOMPARE(connectionPhaseColor(ConnectionPhase::failed(u"x"_s)), Theme::systemRed());
        QVERIFY(connectionPhaseColor(ConnectionPhase::disconnected()) != connectionPhaseColor(ConnectionPhase::ready()));
    }

    // The account bar follows the live connection: the product name before the host has
    // described itself, then the host's version and how it is reached.
    void accountBarFollowsTheConnection()
    {
        test::StoreHarness harness;
        AppModel *store = harness.makeStore();
        QWidget host;
        auto *bar = new SidebarView(store->sessions(), store->selection(), settingsOwners(store), {}, {}, &host);
        auto *settings = bar->findChild<QAbstractButton *>(u"sidebar-settings-button"_s);
        QVERIFY(settings);
        QCOMPARE(nbd::test::shownToolTip(settings->toolTip()), u"设置 · Nimbrel Deck · 未连接"_s);
        store->connect();
        harness.waitForStreams();
        QTRY_COMPARE(nbd::test::shownToolTip(settings->toolTip()), u"设置 · NBD 0.0.0-sim · 外部 Host"_s);
        auto *dot = bar->findChild<QWidget *>(u"sidebar-connection-dot"_s);
        QCOMPARE(nbd::test::shownToolTip(dot->toolTip()), u"已连接"_s);
        QCOMPARE(dot->property("phaseColor").value<QColor>(), connectionPhaseColor(ConnectionPhase::ready()));
    }

    void popoverHeight_data()
    {
        QTest::addColumn<int>("workspaces");
        QTest::addColumn<int>("height");
        QTest::newRow("none") << 0 << 174;
        QTest::newRow("one") << 1 << 176;
        QTest::newRow("two") << 2 << 226;
        QTest::newRow("six") << 6 << 426;
        QTest::newRow("seven") << 7 << 430;
        QTest::newRow("forty") << 40 << 430;
    }

    void popoverHeight()
    {
        QFETCH(int, workspaces);
        QFETCH(int, height);
        QCOMPARE(NewSessionPopover::heightFor(workspaces), height);
    }

    // The open popover lists the store's workspaces and follows a change of the list.
    void popoverFollowsTheStore()
    {
        makeSidebar();
        auto *button = sidebar->findChild<QAbstractButton *>(u"sidebar-new-session-button"_s);
        QVERIFY(button);
        QVERIFY(button->toolTip().contains(u"新建会话 (Ctrl+N)"_s));
        button->click();
        QVERIFY(sidebar->newSessionPresented());
        NewSessionPopover *popover = sidebar->popover();
        QVERIFY(popover);
        QCOMPARE(popover->objectName(), u"new-session-workspace-popover"_s);
        QCOMPARE(popover->workspaceIds(), (QStringList{u"w1"_s, u"w2"_s}));
        QCOMPARE(popover->height(), 226);
        QCOMPARE(popover->width(), 340);
        h->world.addWorkspace({u"w3"_s, u"/src/three"_s, u"Three"_s, {}});
        startStoreTaskForTest(h->store->sessions()->refreshAll());
        QTRY_COMPARE(popover->workspaceIds().size(), 3);
        QCOMPARE(popover->height(), 276);
        QVERIFY(popover->findChild<QWidget *>(u"new-session-workspace-w3"_s));

        // Picking a workspace closes the popover and creates a session in it.
        h->host.clearRequests();
        auto *row = popover->findChild<QAbstractButton *>(u"new-session-workspace-w2"_s);
        row->click();
        QVERIFY(!sidebar->newSessionPresented());
        QTRY_COMPARE(h->requestCount(u"session.create"_s), 1);
        QCOMPARE(payloadString(h->host.requests(u"session.create"_s).first(), u"workspaceId"_s), u"w2"_s);
    }

    void withoutWorkspaceCreatesAPlainSession()
    {
        makeSidebar();
        sidebar->setNewSessionPresented(true);
        h->host.clearRequests();
        sidebar->popover()->findChild<QAbstractButton *>(u"new-session-without-workspace"_s)->click();
        QVERIFY(!sidebar->newSessionPresented());
        QTRY_COMPARE(h->requestCount(u"session.create"_s), 1);
        QVERIFY(!h->host.requests(u"session.create"_s).first().payload.find(u"workspaceId"));
    }

    // Typing quickly asks the host once, for the last text; blanks around it change nothing.
    void searchIsDebounced()
    {
        makeSidebar();
        h->host.clearRequests();
        auto *field = sidebar->findChild<QLineEdit *>(u"sidebar-search-field"_s);
        QVERIFY(field);
        QTest::keyClicks(field, u"gam"_s);
        QTest::keyClicks(field, u"  "_s);
        QTRY_COMPARE(sidebar->remoteSearchMatches(), QSet<QString>{u"c"_s});
        QCOMPARE(h->requestCount(u"session.search"_s), 1);
        QCOMPARE(payloadString(h->host.requests(u"session.search"_s).first(), u"query"_s), u"gam"_s);
        QCOMPARE(rowIds(), (QStringList{u"section-最近"_s, u"session-recent-c"_s}));

        // Clearing empties the host's matches at once, without asking it.
        field->clear();
        QVERIFY(sidebar->remoteSearchMatches().isEmpty());
        QCOMPARE(h->requestCount(u"session.search"_s), 1);
    }

    // A reply for an older query never replaces the matches of a newer one.
    void staleSearchReplyIsDropped()
    {
        makeSidebar();
        h->host.setHandler(u"session.search"_s, [](const LoggedRequest &r) {
            const QString query = payloadString(r, u"query"_s);
            const QString id = query == u"first" ? u"a"_s : u"d"_s;
            const Reply reply = Reply::value(JSONValue::object(
                {{u"items"_s, JSONValue::array({JSONValue::object({{u"sessionId"_s, id}, {u"snippet"_s, query}})})}, {u"hasMore"_s, false}}));
            return query == u"first" ? reply.delayed(600) : reply;
        });
        QSignalSpy written(&h->host, &sim::SimHost::requestFinished);
        sidebar->setSearchText(u"first"_s);
        QTRY_COMPARE(h->requestCount(u"session.search"_s), 1);
        sidebar->setSearchText(u"second"_s);
        QTRY_COMPARE(h->requestCount(u"session.search"_s), 2);
        QTRY_COMPARE(sidebar->remoteSearchMatches(), QSet<QString>{u"d"_s});
        // The first reply has been written, and the barrier behind it shows it has arrived.
        QTRY_COMPARE_WITH_TIMEOUT(test::answered(written, u"session.search"_s).size(), 2, 10000);
        QVERIFY(h->methodsThroughBarrier().endsWith(test::kBarrierMethod));
        QCOMPARE(sidebar->remoteSearchMatches(), QSet<QString>{u"d"_s});
        QCOMPARE(rowIds(), (QStringList{u"section-最近"_s, u"session-recent-d"_s}));
    }

    // The widget's destruction drops a reply still on its way.
    void destroyedSidebarIgnoresTheReply()
    {
        makeSidebar();
        h->host.setReply(u"session.search"_s,
                         Reply::value(JSONValue::object({{u"items"_s, JSONValue::array({})}, {u"hasMore"_s, false}}))
                             .delayed(300));
        QSignalSpy written(&h->host, &sim::SimHost::requestFinished);
        sidebar->setSearchText(u"zzz"_s);
        QTRY_COMPARE(h->requestCount(u"session.search"_s), 1);
        delete sidebar;
        sidebar = nullptr;
        // Once the reply is in, applying it would have touched the freed sidebar.
        QTRY_COMPARE_WITH_TIMEOUT(test::answered(written, u"session.search"_s).size(), 1, 10000);
        QVERIFY(h->methodsThroughBarrier().endsWith(test::kBarrierMethod));
    }

    void closingSearchRestoresTheList()
    {
        makeSidebar();
        const QStringList full = rowIds();
        sidebar->setSearchText(u"alp"_s);
        sidebar->rebuildNow();
        QCOMPARE(rowIds(), (QStringList{u"workspace-w1"_s, u"session-w1-a"_s}));
        auto *toggle = sidebar->findChild<QAbstractButton *>(u"sidebar-search-toggle"_s);
        toggle->click();
        QVERIFY(!searchShown);
        QCOMPARE(sidebar->searchText(), QString());
        sidebar->rebuildNow();
        QCOMPARE(rowIds(), full);
        QCOMPARE(full, (QStringList{u"workspace-w1"_s, u"session-w1-b"_s, u"session-w1-a"_s, u"workspace-w2"_s,
                                    u"session-w2-b"_s, u"section-最近"_s, u"session-recent-d"_s,
                                    u"session-recent-c"_s}));
    }

    // Rows whose data did not change keep their widget and are not touched.
    void unchangedRowsAreKept()
    {
        makeSidebar();
        auto *recent = qobject_cast<SessionRowView *>(sidebar->list()->rowWidget(6));
        QVERIFY(recent);
        QCOMPARE(recent->row().id(), u"recent-d"_s);
        const int revision = recent->revision();
        auto *header = qobject_cast<WorkspaceHeaderRow *>(sidebar->list()->rowWidget(0));
        sidebar->toggleWorkspace(u"w1"_s);
        QCOMPARE(rowIds().first(), u"workspace-w1"_s);
        QCOMPARE(rowIds().at(1), u"workspace-w2"_s);
        QCOMPARE(qobject_cast<WorkspaceHeaderRow *>(sidebar->list()->rowWidget(0)), header);
        QVERIFY(header->isCollapsed());
        auto *sameRecent = qobject_cast<SessionRowView *>(sidebar->list()->rowWidget(4));
        QCOMPARE(sameRecent, recent);
        QCOMPARE(sameRecent->revision(), revision);

        // Selecting a session changes the rows of that session and leaves the others alone.
        auto *gamma = qobject_cast<SessionRowView *>(sidebar->list()->rowWidget(5));
        auto *beta = qobject_cast<SessionRowView *>(sidebar->list()->rowWidget(2));
        QCOMPARE(gamma->row().id(), u"recent-c"_s);
        QCOMPARE(beta->row().id(), u"w2-b"_s);
        QVERIFY(!gamma->row().isSelected);
        const int gammaRevision = gamma->revision();
        const int betaRevision = beta->revision();
        h->store->selection()->selectSession(u"c"_s);
        QTRY_VERIFY(gamma->row().isSelected);
        QCOMPARE(gamma->revision(), gammaRevision + 1);
        QCOMPARE(beta->revision(), betaRevision);
    }

    void sessionRenameActsOnTheRowsSession_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("confirm");
        QTest::newRow("new title") << u"Renamed"_s << true;
        QTest::newRow("emptied field still sent") << QString() << true;
        QTest::newRow("cancel sends nothing") << u"Ignored"_s << false;
    }

    void sessionRenameActsOnTheRowsSession()
    {
        QFETCH(QString, typed);
        QFETCH(bool, confirm);
        makeSidebar();
        auto *row = qobject_cast<SessionRowView *>(sidebar->list()->rowWidget(7));
        QCOMPARE(row->row().session.sessionId, u"c"_s);
        QMenu *menu = row->makeContextMenu(window.get());
        QCOMPARE(menu->actions().size(), 4);
        menu->actions().first()->trigger();
        auto *dialog = findTopLevel<QDialog>(u"rename-session-dialog"_s);
        QVERIFY(dialog);
        auto *field = dialog->findChild<QLineEdit *>(u"rename-field"_s);
        QCOMPARE(field->text(), u"Gamma"_s);
        field->setText(typed);
        // The list may be rebuilt while the dialog is open; the dialog keeps its session.
        sidebar->toggleWorkspace(u"w1"_s);
        dialog->findChild<QPushButton *>(confirm ? u"dialog-confirm"_s : u"dialog-cancel"_s)->click();
        if (!confirm) {
            const QStringList methods = h->methodsThroughBarrier();
            QVERIFY(methods.endsWith(test::kBarrierMethod));
            QCOMPARE(test::countOf(methods, u"session.rename"_s), 0);
            return;
        }
        QTRY_COMPARE(h->requestCount(u"session.rename"_s), 1);
        const LoggedRequest request = h->host.requests(u"session.rename"_s).first();
        QCOMPARE(payloadString(request, u"sessionId"_s), u"c"_s);
        QCOMPARE(payloadString(request, u"title"_s), typed);
    }

    void archiveFromTheContextMenu()
    {
        makeSidebar();
        auto *row = qobject_cast<SessionRowView *>(sidebar->list()->rowWidget(1));
        QCOMPARE(row->row().id(), u"w1-b"_s);
        QMenu *menu = row->makeContextMenu(window.get());
        menu->actions().at(3)->trigger();
        QTRY_COMPARE(h->requestCount(u"workspace.archiveSession"_s), 1);
        QCOMPARE(payloadString(h->host.requests(u"workspace.archiveSession"_s).first(), u"sessionId"_s), u"b"_s);
    }

    void workspaceDialogsActOnTheirWorkspace_data()
    {
        QTest::addColumn<int>("entry"); // 2: rename, 3: remove
        QTest::addColumn<bool>("confirm");
        QTest::newRow("rename") << 2 << true;
        QTest::newRow("rename cancelled") << 2 << false;
        QTest::newRow("remove") << 3 << true;
        QTest::newRow("remove cancelled") << 3 << false;
    }

    void workspaceDialogsActOnTheirWorkspace()
    {
        QFETCH(int, entry);
        QFETCH(bool, confirm);
        makeSidebar();
        auto *header = qobject_cast<WorkspaceHeaderRow *>(sidebar->list()->rowWidget(3));
        QCOMPARE(header->workspace().workspaceId, u"w2"_s);
        QMenu *menu = header->makeActionsMenu(window.get());
        QCOMPARE(menu->actions().size(), 4);
        QVERIFY(menu->actions().at(1)->isSeparator());
        menu->actions().at(entry)->trigger();
        QWidget *dialog = entry == 2 ? static_cast<QWidget *>(findTopLevel<QDialog>(u"rename-workspace-dialog"_s))
                                     : findTopLevel<QMessageBox>(u"remove-workspace-dialog"_s);
        QVERIFY(dialog);
        // Wide enough for a sentence of Chinese, whatever the dialog holds.
        QTRY_VERIFY(dialog->isVisible());
        QVERIFY2(dialog->width() >= 400, qPrintable(QString::number(dialog->width())));
        if (entry == 2) {
            QCOMPARE(dialog->findChild<QLineEdit *>(u"rename-field"_s)->text(), u"Two"_s);
            dialog->findChild<QLineEdit *>(u"rename-field"_s)->setText(u"Zwei"_s);
        } else {
            QCOMPARE(static_cast<QMessageBox *>(dialog)->text(), u"移除项目“\u2068Two\u2069”？"_s);
        }
        dialog->findChild<QPushButton *>(confirm ? u"dialog-confirm"_s : u"dialog-cancel"_s)->click();
        const QString method = entry == 2 ? u"workspace.rename"_s : u"workspace.delete"_s;
        if (!confirm) {
            const QStringList methods = h->methodsThroughBarrier();
            QVERIFY(methods.endsWith(test::kBarrierMethod));
            QCOMPARE(test::countOf(methods, method), 0);
            return;
        }
        QTRY_COMPARE(h->requestCount(method), 1);
        QCOMPARE(payloadString(h->host.requests(method).first(), u"workspaceId"_s), u"w2"_s);
        if (entry == 2)
            QCOMPARE(payloadString(h->host.requests(method).first(), u"title"_s), u"Zwei"_s);
    }

    void headerShowsActionsOnlyUnderThePointer()
    {
        makeSidebar();
        auto *header = qobject_cast<WorkspaceHeaderRow *>(sidebar->list()->rowWidget(0));
        QCOMPARE(header->symbolName(), u"folder"_s);
        QVERIFY(!header->menuButton()->isVisible());
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(header, &enter);
        QCOMPARE(header->symbolName(), u"chevron.right"_s);
        QVERIFY(header->menuButton()->isVisible());
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(header, &leave);
        QVERIFY(!header->menuButton()->isVisible());
        QCOMPARE(nbd::test::shownToolTip(header->toolTip()), u"/src/R&D <one>"_s);
        // A click on the header toggles its workspace.
        QTest::mouseClick(header, Qt::LeftButton, {}, QPoint(header->width() / 2, header->height() / 2));
        QVERIFY(sidebar->collapsedWorkspaceIds().contains(u"w1"_s));
    }

    void searchFieldShowsAndHides_data()
    {
        QTest::addColumn<bool>("reduceMotion");
        QTest::newRow("reduce motion") << true;
        QTest::newRow("animated") << false;
    }

    // The field folds away under the list header and comes back at full height, faded in and
    // in its place; the toggle ends on the other symbol, drawn without a fade.
    void searchFieldShowsAndHides()
    {
        QFETCH(bool, reduceMotion);
        Motion::setReduceMotion(reduceMotion);
        makeSidebar();
        auto *reveal = sidebar->findChild<QWidget *>(u"sidebar-search-reveal"_s);
        auto *field = sidebar->findChild<QWidget *>(u"sidebar-search"_s);
        auto *toggle = sidebar->findChild<ChromeIconButton *>(u"sidebar-search-toggle"_s);
        QVERIFY(reveal && field && toggle);
        QTRY_VERIFY(reveal->isVisible());
        const int listTop = sidebar->list()->y();
        QCOMPARE(reveal->height(), 34);
        QCOMPARE(toggle->symbolName(), u"xmark"_s);

        toggle->click();
        QVERIFY(!searchShown);
        if (reduceMotion) {
            QVERIFY(!reveal->isVisible());
            QCOMPARE(toggle->symbolName(), u"magnifyingglass"_s);
            QVERIFY(!toggle->graphicsEffect()->isEnabled());
        } else {
            // Still on screen: it leaves by the animation, not at once.
            QVERIFY(reveal->isVisible());
            QVERIFY(toggle->graphicsEffect()->isEnabled());
        }
        QTRY_VERIFY(!reveal->isVisible());
        QTRY_COMPARE(toggle->symbolName(), u"magnifyingglass"_s);
        QTRY_VERIFY(!toggle->graphicsEffect()->isEnabled());
        QTRY_COMPARE(sidebar->list()->y(), listTop - 34);

        toggle->click();
        QVERIFY(searchShown);
        if (reduceMotion) {
            QCOMPARE(reveal->height(), 34);
            QCOMPARE(toggle->symbolName(), u"xmark"_s);
        } else {
            QVERIFY(reveal->height() < 34);
        }
        QTRY_COMPARE(reveal->height(), 34);
        QTRY_VERIFY(!field->graphicsEffect()->isEnabled());
        QVERIFY(reveal->isVisible());
        QCOMPARE(field->geometry(), QRect(4, 0, reveal->width() - 8, 30));
        QTRY_COMPARE(toggle->symbolName(), u"xmark"_s);
        QTRY_VERIFY(!toggle->graphicsEffect()->isEnabled());
        QTRY_COMPARE(sidebar->list()->y(), listTop);
    }

    // Reversing the toggle halfway sends the field back from where it is and ends shown.
    void searchToggleReversedMidway()
    {
        makeSidebar();
        auto *reveal = sidebar->findChild<QWidget *>(u"sidebar-search-reveal"_s);
        auto *toggle = sidebar->findChild<ChromeIconButton *>(u"sidebar-search-toggle"_s);
        QTRY_VERIFY(reveal->isVisible());
        toggle->click();
        QTRY_VERIFY(reveal->height() < 34);
        toggle->click();
        QVERIFY(searchShown);
        QTRY_COMPARE(reveal->height(), 34);
        QTRY_VERIFY(!toggle->graphicsEffect()->isEnabled());
        QCOMPARE(toggle->symbolName(), u"xmark"_s);
    }

    void workspaceFoldsAndUnfolds_data()
    {
        QTest::addColumn<bool>("reduceMotion");
        QTest::newRow("reduce motion") << true;
        QTest::newRow("animated") << false;
    }

    // Collapsing folds a workspace's rows under its header and lifts the rows below;
    // expanding brings new rows out to the places a fresh list gives them.
    void workspaceFoldsAndUnfolds()
    {
        QFETCH(bool, reduceMotion);
        Motion::setReduceMotion(reduceMotion);
        makeSidebar();
        SidebarListView *list = sidebar->list();
        QWidget *header = list->rowWidget(0);
        QWidget *next = list->rowWidget(3);
        QCOMPARE(qobject_cast<WorkspaceHeaderRow *>(next)->workspace().workspaceId, u"w2"_s);
        QPointer<QWidget> beta = list->rowWidget(1);
        QPointer<QWidget> alpha = list->rowWidget(2);
        const int openY = next->y();
        const int foldedY = header->geometry().bottom() + 1 + SidebarListView::kSpacing;
        QVERIFY(foldedY < openY);

        sidebar->toggleWorkspace(u"w1"_s);
        QCOMPARE(list->isAnimating(), !reduceMotion);
        if (reduceMotion) {
            QCOMPARE(next->y(), foldedY);
            QVERIFY(!beta->isVisible());
        } else {
            QCOMPARE(next->y(), openY);
            QVERIFY(beta->isVisible());
        }
        QTRY_VERIFY(!list->isAnimating());
        QTRY_VERIFY(beta.isNull() && alpha.isNull());
        QCOMPARE(next->y(), foldedY);
        QCOMPARE(list->rowWidget(1), next);

        sidebar->toggleWorkspace(u"w1"_s);
        QCOMPARE(list->isAnimating(), !reduceMotion);
        QTRY_VERIFY(!list->isAnimating());
        QCOMPARE(next->y(), openY);
        for (size_t i : {size_t(1), size_t(2)}) {
            QWidget *row = list->rowWidget(i);
            QVERIFY(row->isVisible());
            QVERIFY(row->mask().isEmpty());
            QCOMPARE(row->y(), foldedY + int(i - 1) * (SessionRowView::kHeight + SidebarListView::kSpacing));
        }
    }

    // A rebuild while a workspace folds lands the fold: the folded rows go and the rows below
    // stand where the new list puts them.
    void rebuildDuringAFoldLandsIt()
    {
        makeSidebar();
        SidebarListView *list = sidebar->list();
        QWidget *header = list->rowWidget(0);
        QPointer<QWidget> beta = list->rowWidget(1);
        sidebar->toggleWorkspace(u"w1"_s);
        QVERIFY(list->isAnimating());
        h->store->selection()->selectSession(u"d"_s);
        QTRY_VERIFY(!list->isAnimating());
        QTRY_VERIFY(beta.isNull());
        QCOMPARE(list->rowWidget(1)->y(), header->geometry().bottom() + 1 + SidebarListView::kSpacing);
        QTRY_VERIFY(qobject_cast<SessionRowView *>(list->rowWidget(4))->row().isSelected);
    }

    void folderChooser_data()
    {
        QTest::addColumn<bool>("choose");
        QTest::newRow("folder chosen") << true;
        QTest::newRow("cancelled") << false;
    }

    // "选择其他文件夹…" closes the popover, then opens a folders-only chooser without blocking;
    // a chosen folder becomes a workspace with a new session, a cancel creates nothing.
    void folderChooser()
    {
        QFETCH(bool, choose);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString folder = root.filePath(u"新 项目 #1"_s);
        QVERIFY(QDir().mkpath(folder));
        QFile plain(root.filePath(u"note.txt"_s));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();

        makeSidebar();
        sidebar->setNewSessionPresented(true);
        QPointer<NewSessionPopover> popover = sidebar->popover();
        h->host.clearRequests();
        popover->findChild<QAbstractButton *>(u"new-session-choose-folder"_s)->click();
        QVERIFY(!sidebar->newSessionPresented());
        QVERIFY(!popover || !popover->isVisible());
        auto *dialog = findTopLevel<QFileDialog>(u"workspace-folder-chooser"_s);
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), u"选择工作区文件夹"_s);
        QCOMPARE(dialog->labelText(QFileDialog::Accept), u"选择"_s);
        QCOMPARE(dialog->fileMode(), QFileDialog::Directory);
        QVERIFY(dialog->testOption(QFileDialog::ShowDirsOnly));
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->parentWidget(), window.get());
        // It starts at home, and Qt's own labels speak the interface's language.
        QCOMPARE(QDir(dialog->directory().absolutePath()).canonicalPath(), QDir(QDir::homePath()).canonicalPath());
        if (auto *lookIn = dialog->findChild<QLabel *>(u"lookInLabel"_s); lookIn && QLocale::system().language() == QLocale::C)
            QVERIFY2(lookIn->text() != u"Look in:"_s, qPrintable(lookIn->text()));

        if (!choose) {
            dialog->reject();
            const QStringList methods = h->methodsThroughBarrier();
            QVERIFY(methods.endsWith(test::kBarrierMethod));
            QCOMPARE(test::countOf(methods, u"workspace.create"_s), 0);
            QCOMPARE(test::countOf(methods, u"session.create"_s), 0);
            return;
        }
        dialog->setDirectory(root.path());
        dialog->selectFile(folder);
        QPushButton *accept = nullptr;
        for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
            if (button->text() == u"选择")
                accept = button;
        }
        QVERIFY(accept);
        QTRY_VERIFY(accept->isEnabled());
        accept->click();
        QTRY_COMPARE(h->requestCount(u"workspace.create"_s), 1);
        QCOMPARE(payloadString(h->host.requests(u"workspace.create"_s).first(), u"path"_s), folder);
        QTRY_COMPARE(h->requestCount(u"session.create"_s), 1);
        QTRY_VERIFY(h->store->sessions()->workspaces().size() == 3);
    }

    // The list shows the column's colour on every palette, and the selected row stands out
    // from it.
    void listIsTransparent_data()
    {
        QTest::addColumn<int>("palette"); // 0: the platform's, 1: light, 2: dark
        QTest::newRow("platform palette") << 0;
        QTest::newRow("light") << 1;
        QTest::newRow("dark") << 2;
    }

    void listIsTransparent()
    {
        QFETCH(int, palette);
        const QPalette original = QApplication::palette();
        if (palette > 0)
            QApplication::setPalette(Theme::palette(palette == 1 ? Theme::Appearance::Light : Theme::Appearance::Dark));
        h = std::make_unique<test::StoreHarness>();
        auto s = test::session(u"a"_s, 1000);
        s.title = u"Alpha"_s;
        h->world.addSession(s);
        h->world.addSession(test::session(u"b"_s, 2000));
        h->connected();
        h->store->selection()->selectSession(u"a"_s);
        // The column as the main window builds it: the sidebar on its background.
        window = std::make_unique<SidebarMaterialBackground>();
        window->resize(300, 600);
        AppModel *store = h->store.get();
        sidebar = new SidebarView(store->sessions(), store->selection(), settingsOwners(store), {},
                                  Binding<bool>{[] { return false; }, [](bool) {}}, window.get());
        sidebar->setGeometry(0, 0, 300, 600);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTRY_VERIFY(rowIds().contains(u"session-recent-a"_s));
        QTRY_VERIFY(sidebar->list()->rows().back().session() && sidebar->list()->rowWidget(sidebar->list()->rows().size() - 1));

        const QImage image = window->grab().toImage();
        const QColor column = Theme::sidebar();
        const QColor selectionColor = Theme::selection();
        QApplication::setPalette(original);
        auto at = [&](QWidget *w, QPoint p) { return image.pixelColor(w->mapTo(window.get(), p)).rgb(); };
        // Beside the column's margin, in the list below its last row, and in the header row.
        QCOMPARE(image.pixelColor(4, 300).rgb(), column.rgb());
        QWidget *list = sidebar->list();
        QCOMPARE(at(list, QPoint(list->width() / 2, list->height() - 4)), column.rgb());
        QWidget *selected = nullptr;
        for (size_t i = 0; i < sidebar->list()->rows().size(); ++i) {
            const auto *row = sidebar->list()->rows()[i].session();
            if (row && row->isSelected)
                selected = sidebar->list()->rowWidget(i);
        }
        QVERIFY(selected);
        // Inside the selected row, right of its title.
        const QRgb selection = at(selected, QPoint(selected->width() - 20, selected->height() / 2));
        QVERIFY(selection != column.rgb());
        QCOMPARE(selection, selectionColor.rgb());
    }

    // Tab walks the column from top to bottom: header, new session, search, the rows in list
    // order, the account bar.
    void tabFollowsTheColumn()
    {
        makeSidebar();
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QWidget *title = sidebar->findChild<QWidget *>(u"sidebar-product-title"_s);
        title->setFocus(Qt::TabFocusReason);
        QStringList order{title->objectName()};
        for (int i = 0; i < 30; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget *focus = QApplication::focusWidget();
            if (!focus || focus == title || !sidebar->isAncestorOf(focus))
                break;
            order << focus->objectName();
        }
        QStringList expected{u"sidebar-product-title"_s, u"sidebar-collapse"_s, u"sidebar-new-session-button"_s,
                             u"sidebar-search-field"_s, u"sidebar-search-toggle"_s};
        for (size_t i = 0; i < sidebar->list()->rows().size(); ++i) {
            QWidget *row = sidebar->list()->rowWidget(i);
            if (row->focusPolicy() & Qt::TabFocus)
                expected << row->objectName();
        }
        expected << u"sidebar-settings-button"_s;
        QCOMPARE(order, expected);
    }

    // A long list has widgets only near the viewport; scrolling brings the others, each with
    // its title, role and state, and the walk still finds every control named.
    void aLongListBuildsOnlyTheRowsNearTheViewport()
    {
        makeLongSidebar();
        h->store->selection()->selectSession(u"s250"_s);
        sidebar->rebuildNow();
        SidebarListView *list = sidebar->list();
        verifyLiveRows();
        QVERIFY(list->rowWidget(0));
        QVERIFY(!list->rowWidget(list->rows().size() - 1));

        for (const int value : {list->verticalScrollBar()->maximum() / 2, list->verticalScrollBar()->maximum(), 0,
                                list->rowTop(251) - 100}) {
            list->verticalScrollBar()->setValue(value);
            verifyLiveRows();
        }
        auto *selected = qobject_cast<SessionRowView *>(list->rowWidget(251));
        QVERIFY(selected);
        QVERIFY(selected->row().isSelected);
        const QStringList problems = test::accessibilityProblems(window.get());
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));

        // A rebuild with one title changed keeps the live rows and updates only that one.
        list->verticalScrollBar()->setValue(0);
        QPointer<QWidget> first = list->rowWidget(1);
        auto renamed = test::session(u"s000"_s, 100000.0);
        renamed.title = u"Renamed"_s;
        h->world.addSession(renamed);
        startStoreTask(h->store->sessions()->refreshAll());
        QTRY_COMPARE(qobject_cast<SessionRowView *>(list->rowWidget(1))->row().displayTitle, u"Renamed"_s);
        QCOMPARE(list->rowWidget(1), first.data());
        verifyLiveRows();
    }

    // Tab and Shift+Tab step through every row in order, also past the rows that had no
    // widget; from the account bar back into the list lands on the last row.
    void tabReachesRowsBeyondTheViewport()
    {
        makeLongSidebar();
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        SidebarListView *list = sidebar->list();
        list->rowWidget(0)->setFocus(Qt::TabFocusReason);
        for (size_t i = 1; i <= 120; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), list->rowWidget(i));
            // In sight: the viewport shows the focused row.
            const QRect shown = QRect(QPoint(0, list->verticalScrollBar()->value()), list->viewport()->size());
            QVERIFY(shown.contains(list->rowWidget(i)->geometry()));
        }
        verifyLiveRows();
        for (size_t i = 119; i >= 100; --i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
            QCOMPARE(QApplication::focusWidget(), list->rowWidget(i));
        }

        // The section label takes no focus: Tab goes from the workspace's last session past it.
        list->rowWidget(100)->setFocus(Qt::TabFocusReason);
        list->verticalScrollBar()->setValue(list->rowTop(299));
        list->rowWidget(300)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), list->rowWidget(302));

        auto *settings = sidebar->findChild<QWidget *>(u"sidebar-settings-button"_s);
        list->verticalScrollBar()->setValue(0);
        settings->setFocus(Qt::TabFocusReason);
        QTest::keyClick(settings, Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), list->rowWidget(list->rows().size() - 1));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), settings);

        // From the search toggle, scrolled to the end, Tab lands on the first row.
        auto *toggle = sidebar->findChild<QWidget *>(u"sidebar-search-toggle"_s);
        list->verticalScrollBar()->setValue(list->verticalScrollBar()->maximum());
        toggle->setFocus(Qt::TabFocusReason);
        QTest::keyClick(toggle, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), list->rowWidget(0));
        verifyLiveRows();
    }

    // Every control of the column does by its accessibility action what its click does: the
    // same selection, folding, popover, sheet or call to the host.
    void actionsDoWhatClicksDo()
    {
        qsizetype baseline = 0;
        test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            // A fresh store each time: selection and folding live in the store and the view.
            window.reset();
            makeSidebar();
            (void)QTest::qWaitForWindowExposed(window.get());
            h->waitForQuietHost();
            baseline = h->host.requests().size();
            return window.get();
        };
        check.state = [&] {
            QStringList collapsed(sidebar->collapsedWorkspaceIds().begin(), sidebar->collapsedWorkspaceIds().end());
            collapsed.sort();
            // A session made by the host has a new id each time.
            QString selected = h->store->selection()->selectedSessionId().value_or(u"-"_s);
            if (selected.size() > 1)
                selected = u"created"_s;
            return u"selected "_s + selected + u" collapsed "_s
                + collapsed.join(u',') + (sidebar->newSessionPresented() ? u" new-session"_s : QString())
                + (searchShown ? u" search"_s : QString()) + u" calls "_s + h->methodsSince(baseline);
        };
        check.async = true;
        check.quiet = [&] { h->waitForQuietHost(); };
        const test::ActionParityReport report = test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        // Session rows, workspace headers, the new-session and settings buttons at least.
        QVERIFY2(report.controls.size() >= 8, qPrintable(report.controls.join(u'\n')));
        QVERIFY2(report.changed >= 8, qPrintable(report.controls.join(u'\n')));
    }

    // Escape closes the Settings sheet and the new-session popover from the control that has
    // the focus in them; Return on a popover row picks it, as a click does.
    void escapeClosesTheSheetAndThePopover()
    {
        makeSidebar();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTest::mouseClick(sidebar->findChild<QAbstractButton *>(u"sidebar-settings-button"_s), Qt::LeftButton);
        QDialog *sheet = nullptr;
        QTRY_VERIFY((sheet = findTopLevel<QDialog>(u"settings-sheet"_s)));
        QVERIFY(QTest::qWaitForWindowExposed(sheet));
        QPointer<QDialog> guard = sheet;
        auto *tab = sheet->findChild<QAbstractButton *>(u"settings-section-host"_s);
        tab->setFocus(Qt::TabFocusReason);
        QTest::keyClick(tab, Qt::Key_Escape);
        QTRY_VERIFY(!guard || !guard->isVisible());

        auto *button = sidebar->findChild<QAbstractButton *>(u"sidebar-new-session-button"_s);
        button->setFocus(Qt::TabFocusReason);
        QTest::keyClick(button, Qt::Key_Return);
        QVERIFY(sidebar->newSessionPresented());
        NewSessionPopover *popover = sidebar->popover();
        QVERIFY(popover);
        QVERIFY(QTest::qWaitForWindowExposed(popover));
        auto *row = popover->findChild<QAbstractButton *>(u"new-session-workspace-w2"_s);
        row->setFocus(Qt::TabFocusReason);
        QTest::keyClick(row, Qt::Key_Escape);
        QTRY_VERIFY(!sidebar->newSessionPresented());
        QCOMPARE(h->requestCount(u"session.create"_s), 0);

        button->setFocus(Qt::TabFocusReason);
        QTest::keyClick(button, Qt::Key_Return);
        QVERIFY(sidebar->newSessionPresented());
        row = sidebar->popover()->findChild<QAbstractButton *>(u"new-session-workspace-w2"_s);
        row->setFocus(Qt::TabFocusReason);
        QTest::keyClick(row, Qt::Key_Return);
        QVERIFY(!sidebar->newSessionPresented());
        QTRY_COMPARE(h->requestCount(u"session.create"_s), 1);
    }

    // What a screen reader finds in the column: every control named, rows with their titles.
    void columnIsAccessible()
    {
        makeSidebar();
        const QStringList problems = test::accessibilityProblems(window.get());
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        QAccessibleInterface *bar =
            QAccessible::queryAccessibleInterface(sidebar->findChild<QWidget *>(u"sidebar-settings-button"_s));
        QCOMPARE(bar->text(QAccessible::Name), u"设置"_s);
        QVERIFY(bar->text(QAccessible::Description).startsWith(u"设置 · "_s));
        QAccessibleInterface *header =
            QAccessible::queryAccessibleInterface(sidebar->findChild<QWidget *>(u"workspace-header-w1"_s));
        QCOMPARE(header->text(QAccessible::Name), u"One"_s);
        QCOMPARE(header->text(QAccessible::Description), u"/src/R&D <one>"_s);
    }

    // The account bar opens one window-modal Settings sheet at a time; closed, it can open again.
    void accountBarOpensSettings()
    {
        makeSidebar();
        auto *bar = sidebar->findChild<QAbstractButton *>(u"sidebar-settings-button"_s);
        QVERIFY(!sidebar->showSettings());
        bar->click();
        QVERIFY(sidebar->showSettings());
        auto *sheet = findTopLevel<QDialog>(u"settings-sheet"_s);
        QVERIFY(sheet);
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->parentWidget(), window.get());
        QVERIFY(sheet->findChild<SettingsView *>());
        bar->click();
        int open = 0;
        for (QWidget *w : QApplication::topLevelWidgets())
            open += w->objectName() == u"settings-sheet" && w->isVisible();
        QCOMPARE(open, 1);

        QPointer<QDialog> closed = sheet;
        sheet->reject();
        QVERIFY(!sidebar->showSettings());
        QTRY_VERIFY(closed.isNull());
        bar->click();
        QVERIFY(sidebar->showSettings());
        QVERIFY(findTopLevel<QDialog>(u"settings-sheet"_s));
    }

    void sessionTooltipReadsMilliseconds()
    {
        makeSidebar();
        SessionRowView row(h->store->sessions(), h->store->selection());
        SidebarSessionRowData data;
        data.scope = u"recent"_s;
        data.session.sessionId = u"x"_s;
        data.session.updatedAt = double(QDateTime::currentMSecsSinceEpoch() - 90'000);
        data.displayTitle = u"Title"_s;
        row.setRow(data);
        QCOMPARE(row.toolTipText(), u"\u2068Title\u2069 · 1 分钟前"_s);
    }

private:
    static void startStoreTaskForTest(QCoro::Task<void> task) { startStoreTask(std::move(task)); }
};

NBD_GUI_TEST_MAIN(tst_SidebarView)
#include "tst_sidebarview.moc"
