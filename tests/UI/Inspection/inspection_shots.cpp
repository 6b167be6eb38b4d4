// Pictures of the run inspection views for a person to look at: the trajectory (with a row
// selected and a mark hovered), the runtime inspector on both panels, the run summary bar, the
// subagent catalogue's menu and the read-only card, over a session of the simulated host.
// Not a test: run it with an output folder; NBD_APPEARANCE picks light or dark.
//
//   inspection_shots OUTPUT_DIR

#include "ObservableWaits.h"
#include "SimHost.h"
#include "SimSessions.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "Session/SessionModel.h"
#include "UI/Inspection/RuntimeInspectorView.h"
#include "UI/Inspection/RuntimeSummaryBar.h"
#include "UI/Inspection/SubagentCatalogView.h"
#include "UI/Inspection/SubagentReadOnlyComposer.h"
#include "UI/Inspection/TrajectoryLedgerModel.h"
#include "UI/Inspection/TrajectoryTimelineOverview.h"
#include "UI/Inspection/TrajectoryView.h"
#include "UI/Shared/AppStartup.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;

namespace {

void turn(sim::SimWorld &world, const QString &id, qint64 t, const QString &ask, const QString &text,
          const std::vector<std::tuple<QString, QString, bool>> &calls, const QString &reason = u"completed"_s)
{
    world.appendEvent(id, sim::events::userMessage(u"u%1"_s.arg(t), ask));
    world.appendEvent(id, sim::events::turnStart(t));
    world.appendEvent(id, sim::events::stepStart(t, 1));
    world.appendEvent(id, sim::events::blockStart(t, 1, 0, u"reasoning"_s));
    world.appendEvent(id, sim::events::reasoningDelta(t, 1, 0, u"先读一下相关文件，再决定怎么改。"_s.repeated(int(t))));
    std::vector<std::pair<QString, QString>> toolCalls;
    for (size_t i = 0; i < calls.size(); ++i)
        toolCalls.emplace_back(u"c%1-%2"_s.arg(t).arg(i), std::get<0>(calls[i]));
    world.appendEvent(id, sim::events::assistantMessage(t, 1, text, toolCalls));
    for (size_t i = 0; i < calls.size(); ++i)
        world.appendEvent(id, sim::events::toolResult(t, 1, u"c%1-%2"_s.arg(t).arg(i), std::get<1>(calls[i]),
                                                      std::get<2>(calls[i])));
    world.appendEvent(id, sim::events::turnEnd(t, reason));
}

bool waitFor(const std::function<bool()> &cond)
{
    return QTest::qWaitFor(cond, 20000);
}

void save(QWidget *widget, const QString &dir, const QString &name)
{
    QApplication::processEvents();
    widget->grab().save(QDir(dir).filePath(name + u".png"_s));
    std::printf("%s\n", qPrintable(QDir(dir).filePath(name + u".png"_s)));
}

} // namespace

int main(int argc, char **argv)
{
    prepareApplication();
    QApplication app(argc, argv);
    finishApplicationSetup(app);
    if (argc < 2) {
        std::fprintf(stderr, "usage: inspection_shots OUTPUT_DIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const QString suffix = Theme::isDark() ? u"-dark"_s : u"-light"_s;

    sim::SimHost host;
    if (!host.listen())
        return 1;
    sim::SimWorld world(&host);
    sim::SimWorld::Session s;
    s.id = u"demo"_s;
    s.updatedAt = 10;
    s.title = u"修复登录页的重定向循环"_s;
    s.agentPreset = u"coder"_s;
    world.addSession(s);
    turn(world, u"demo"_s, 1, u"登录后页面一直在 /login 和 /home 之间跳转，帮我看看。"_s,
         u"重定向循环来自会话检查：令牌过期时两边都在跳转。"_s,
         {{u"read_file"_s, u"export function middleware(req) {\n  if (!req.session) return redirect('/login')\n}"_s, false},
          {u"grep"_s, u"src/auth/session.ts:42: if (expired) redirect('/login')"_s, false}});
    turn(world, u"demo"_s, 2, u"Run the tests after the fix."_s, u"Running the auth test suite now."_s,
         {{u"shell"_s, u"FAIL auth/redirect.test.ts › keeps the session after refresh"_s, true}});
    turn(world, u"demo"_s, 3, u"再试一次，修好断言。"_s, u"断言已改为比较最终地址，测试全部通过。"_s,
         {{u"apply_patch"_s, u"Updated 2 files"_s, false}, {u"shell"_s, u"PASS 14 tests"_s, false}});
    sim::SimWorld::SubagentEntry kid;
    kid.id = u"kid-reviewer-01"_s;
    kid.label = u"代码审查"_s;
    kid.activity = u"running"_s;
    sim::SimWorld::SubagentEntry once;
    once.id = u"kid-search-02"_s;
    once.mode = u"one-shot"_s;
    once.label = u"搜索调用点"_s;
    world.setSubagents(u"demo"_s, {kid, once});

    QTemporaryDir settingsDir;
    auto settings = std::make_unique<QSettings>(settingsDir.filePath(u"n.ini"_s), QSettings::IniFormat);
    settings->setValue(u"nbd.serverURL"_s, host.baseUrl().toString());
    settings->setValue(u"nbd.launchMode"_s, u"external"_s);
    AppModel store(std::move(settings), false);
    store.connect();
    if (!waitFor([&] { return store.connection()->phase().isConnected() && store.selection()->selectedSession()
                              && store.selection()->selectedSession()->historyLoaded(); }))
        return 1;
    const auto session = store.selection()->selectedSession();
    world.pushProjection(u"demo"_s, u"sessionStats"_s,
                         sim::SimWorld::sessionStats({3, 7, 84200, 12850, 4900, 7, 31000, 1612}));
    world.pushProjection(u"demo"_s, u"tokenUsage"_s, sim::SimWorld::tokenUsage({48210, 3120, 121000, 905}));
    world.pushJobs(u"demo"_s, JSONValue::array({JSONValue::object({{u"id"_s, u"j1"_s}, {u"kind"_s, u"shell"_s},
                                                                   {u"label"_s, u"npm run dev"_s}, {u"status"_s, u"running"_s},
                                                                   {u"detail"_s, u"listening on :5173"_s},
                                                                   {u"startedAt"_s, JSONValue(1.0)}}),
                                                JSONValue::object({{u"id"_s, u"j2"_s}, {u"kind"_s, u"shell"_s},
                                                                   {u"label"_s, u"lint"_s}, {u"status"_s, u"failed"_s},
                                                                   {u"detail"_s, u"2 errors"_s},
                                                                   {u"startedAt"_s, JSONValue(1.0)}})}));
    if (!waitFor([&] { return session->stats() && session->usage() && session->jobs().size() == 2
                              && !store.sessions()->subagentsByParent().isEmpty(); }))
        return 1;

    // The trajectory, a row selected and a mark hovered.
    std::optional<TrajectoryEventSelection> picked;
    QWidget trajectoryWindow;
    auto *trajectory = new TrajectoryView(session, [&](const TrajectoryEventSelection &e) { picked = e; });
    (new QVBoxLayout(&trajectoryWindow))->addWidget(trajectory);
    trajectoryWindow.layout()->setContentsMargins(0, 0, 0, 0);
    trajectoryWindow.resize(760, 560);
    trajectoryWindow.show();
    if (!QTest::qWaitForWindowExposed(&trajectoryWindow))
        return 1;
    auto *list = trajectory->ledgerList();
    const int failedRow = [&] {
        for (int i = 0; i < trajectory->ledgerModel()->rowCount(); ++i) {
            if (trajectory->ledgerModel()->rows()[size_t(i)].event().isError)
                return i;
        }
        return 0;
    }();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(trajectory->ledgerModel()->index(failedRow)).center());
    QTest::mouseMove(list->viewport(), list->visualRect(trajectory->ledgerModel()->index(failedRow + 2)).center());
    QTest::mouseMove(trajectory->timeline(), QPoint(trajectory->timeline()->width() / 3, 20));
    if (!waitFor([&] { return picked.has_value(); }) || !test::waitUntilMotionSettles(&trajectoryWindow))
        return 1;
    save(&trajectoryWindow, out, u"trajectory"_s + suffix);

    // The same trajectory searched, with calls merged and the first turn collapsed.
    trajectory->toggleTurn(1);
    QTest::mouseClick(trajectory->findChild<QWidget *>(u"trajectory-collapse-calls"_s), Qt::LeftButton);
    auto *search = trajectory->findChild<QWidget *>(u"trajectory-search"_s);
    search->setFocus();
    QTest::keyClicks(search, u"shell"_s);
    if (!waitFor([&] { return trajectory->searchQuery() == u"shell" && !trajectory->isSearchSettling(); })
        || !test::waitUntilMotionSettles(&trajectoryWindow))
        return 1;
    save(&trajectoryWindow, out, u"trajectory-search"_s + suffix);

    // The inspector on both panels.
    RuntimeInspectorPanel panel = RuntimeInspectorPanel::Runtime;
    QWidget inspectorWindow;
    auto *inspector = new RuntimeInspectorView(
        store.sessions(), session, Binding<RuntimeInspectorPanel>{[&] { return panel; }, [&](RuntimeInspectorPanel p) { panel = p; }},
        picked, true, {RuntimeInspectorPanel::Runtime, RuntimeInspectorPanel::Event});
    (new QVBoxLayout(&inspectorWindow))->addWidget(inspector);
    inspectorWindow.layout()->setContentsMargins(0, 0, 0, 0);
    inspectorWindow.resize(340, 760);
    inspectorWindow.show();
    if (!QTest::qWaitForWindowExposed(&inspectorWindow))
        return 1;
    save(&inspectorWindow, out, u"inspector-runtime"_s + suffix);
    QTest::mouseClick(inspector->findChild<QWidget *>(u"inspector-panel-event"_s), Qt::LeftButton);
    save(&inspectorWindow, out, u"inspector-event"_s + suffix);

    // The dock's pieces: the catalogue button, the read-only card and the summary bar.
    QWidget dock;
    dock.setObjectName(u"shots-dock"_s);
    dock.setAutoFillBackground(true);
    QPalette p = dock.palette();
    p.setColor(QPalette::Window, Theme::canvas());
    dock.setPalette(p);
    auto *dockLayout = new QVBoxLayout(&dock);
    dockLayout->setContentsMargins(0, 12, 0, 8);
    auto *catalogRow = new QHBoxLayout;
    catalogRow->addStretch(1);
    catalogRow->addWidget(new SubagentCatalogView(store.sessions(), store.selection(), u"demo"_s));
    catalogRow->addSpacing(16);
    dockLayout->addLayout(catalogRow);
    dockLayout->addWidget(new SubagentReadOnlyComposer(
        SelectedSubagent{SubagentAddress{u"demo"_s, u"kid-search-02"_s, u"one-shot"_s}, u"搜索调用点"_s, true}));
    dockLayout->addWidget(new RuntimeSummaryBar(session, [] {}));
    dock.resize(900, 190);
    dock.show();
    if (!QTest::qWaitForWindowExposed(&dock))
        return 1;
    save(&dock, out, u"dock"_s + suffix);

    auto *catalog = dock.findChild<SubagentCatalogView *>();
    QTimer::singleShot(300, [&] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            menu->grab().save(QDir(out).filePath(u"subagent-menu"_s + suffix + u".png"_s));
            std::printf("%s\n", qPrintable(QDir(out).filePath(u"subagent-menu"_s + suffix + u".png"_s)));
            menu->close();
        }
    });
    QTest::mouseClick(catalog, Qt::LeftButton);
    return 0;
}
