// Figures of the session sidebar over a large world: 2,000 sessions in 40 workspaces of 50,
// listed by a store connected to the simulated host.
//
//   sidebar.build_ms             the sidebar's first full build (rows and their widgets) and
//                                its first showing
//   sidebar.update_ms            applying a session list in which one session's title changed
//                                (median of 5)
//   sidebar.update_rows_touched  rows whose widget was updated by that change (at most 1 when
//                                the list reuses its row widgets; 0 when the renamed row is
//                                away from the viewport and so has no widget)
//   sidebar.search_ms            local filtering of the list for a query (median of 5)
//   sidebar.search_rows          rows listed for that query
//   sidebar.rebuild_ms_2000      clearing that query: the whole list of 2,000 sessions comes
//                                back, with the turn of the event loop that follows (deleting
//                                and painting); median of 5

#include "SimHost.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "UI/Sidebar/SidebarView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWorkspaces = 40;
constexpr int kPerWorkspace = 50;
constexpr int kRuns = 5;

// Runs the event loop until cond holds or the deadline passes.
bool waitUntil(const std::function<bool()> &cond, int timeoutMs = 30000)
{
    bool expired = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { expired = true; });
    deadline.start(timeoutMs);
    while (!cond() && !expired)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return cond();
}

double msSince(const QElapsedTimer &t) { return double(t.nsecsElapsed()) / 1e6; }

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString sessionId(int i) { return u"s%1"_s.arg(i, 4, 10, QLatin1Char('0')); }

sim::SimWorld::Session makeSession(int i, const QString &title)
{
    sim::SimWorld::Session s;
    s.id = sessionId(i);
    s.updatedAt = 1'700'000'000'000.0 + i * 1000.0;
    s.title = title;
    return s;
}

// Row widget revisions by widget, to tell which rows an update touched.
std::vector<std::pair<QWidget *, int>> revisions(const SidebarListView *list)
{
    std::vector<std::pair<QWidget *, int>> out;
    for (size_t i = 0; i < list->rows().size(); ++i) {
        QWidget *w = list->rowWidget(i);
        if (auto *s = qobject_cast<SessionRowView *>(w))
            out.emplace_back(w, s->revision());
        else if (auto *h = qobject_cast<WorkspaceHeaderRow *>(w))
            out.emplace_back(w, h->revision());
    }
    return out;
}

int touched(const std::vector<std::pair<QWidget *, int>> &before, const SidebarListView *list)
{
    int count = 0;
    const auto after = revisions(list);
    for (size_t i = 0; i < after.size(); ++i) {
        if (i >= before.size() || before[i] != after[i])
            ++count;
    }
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    sim::SimHost host;
    sim::SimWorld world(&host);
    if (!host.listen()) {
        std::fprintf(stderr, "simulated host does not listen\n");
        return 1;
    }
    for (int i = 0; i < kWorkspaces * kPerWorkspace; ++i)
        world.addSession(makeSession(i, u"Task %1 refactor module %2"_s.arg(i).arg(i % 97)));
    for (int w = 0; w < kWorkspaces; ++w) {
        QStringList ids;
        for (int k = 0; k < kPerWorkspace; ++k)
            ids.append(sessionId(w * kPerWorkspace + k));
        world.addWorkspace({u"w%1"_s.arg(w), u"/src/project-%1"_s.arg(w), u"Project %1"_s.arg(w), ids});
    }

    QTemporaryDir dir;
    auto settings = std::make_unique<QSettings>(dir.filePath(u"nimbrel.ini"_s), QSettings::IniFormat);
    settings->setValue(u"nbd.serverURL"_s, host.baseUrl().toString());
    settings->setValue(u"nbd.launchMode"_s, u"external"_s);
    settings->sync();
    AppModel store(std::make_unique<QSettings>(dir.filePath(u"nimbrel.ini"_s), QSettings::IniFormat), false);
    store.connect();
    if (!waitUntil([&] {
            return store.sessions()->sessions().size() == kWorkspaces * kPerWorkspace
                && store.sessions()->workspaces().size() == kWorkspaces;
        })) {
        std::fprintf(stderr, "the store did not list the world\n");
        return 1;
    }

    QWidget window;
    window.resize(300, 900);
    bool searchVisible = true;
    // The account bar follows the connection; the settings sheet is never opened here.
    SettingsOwners connectionOwners;
    connectionOwners.connectionSettings = store.connectionSettings();
    connectionOwners.connectionStatus = store.connectionStatus();
    QElapsedTimer t;
    t.start();
    auto *sidebar = new SidebarView(store.sessions(), store.selection(), connectionOwners, {},
                                    Binding<bool>{[&] { return searchVisible; }, [&](bool v) { searchVisible = v; }},
                                    &window);
    sidebar->setGeometry(0, 0, 300, 900);
    window.show();
    const double buildMs = msSince(t);
    if (sidebar->list()->rows().size() != size_t(kWorkspaces * (kPerWorkspace + 1))) {
        std::fprintf(stderr, "unexpected row count %zu\n", sidebar->list()->rows().size());
        return 1;
    }
    QCoreApplication::processEvents();

    // One title changes on the host; the sidebar applies the new session list. Connected
    // after the sidebar, so its own deferred rebuild is the one timed here.
    std::vector<double> updateMs;
    int rowsTouched = 0;
    std::vector<std::pair<QWidget *, int>> before;
    bool applied = false;
    QObject::connect(store.sessions(), &SessionDirectory::sessionsChanged, sidebar, [&] {
        before = revisions(sidebar->list());
        QElapsedTimer u;
        u.start();
        sidebar->rebuildNow();
        updateMs.push_back(msSince(u));
        rowsTouched = std::max(rowsTouched, touched(before, sidebar->list()));
        applied = true;
    });
    for (int run = 0; run < kRuns; ++run) {
        const int i = 777 + run * 211;
        world.addSession(makeSession(i, u"Renamed task %1 (run %2)"_s.arg(i).arg(run)));
        applied = false;
        startStoreTask(store.sessions()->refreshAll());
        if (!waitUntil([&] { return applied; })) {
            std::fprintf(stderr, "the renamed session did not arrive\n");
            return 1;
        }
    }

    // Local filtering: the host's matches come later and are not part of it.
    std::vector<double> searchMs;
    std::vector<double> rebuildMs;
    size_t searchRows = 0;
    const QString query = u"task 12"_s;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer s;
        s.start();
        sidebar->setSearchText(query);
        sidebar->rebuildNow();
        searchMs.push_back(msSince(s));
        searchRows = sidebar->list()->rows().size();
        QCoreApplication::processEvents();
        QElapsedTimer r;
        r.start();
        sidebar->setSearchText(QString());
        sidebar->rebuildNow();
        QCoreApplication::processEvents();
        rebuildMs.push_back(msSince(r));
    }

    // Locale-independent number formatting: QApplication has set the C locale from the environment.
    auto print = [](const char *name, double value, int decimals) {
        std::printf("%s: %s\n", name, QByteArray::number(value, 'f', decimals).constData());
    };
    print("sidebar.build_ms", buildMs, 1);
    print("sidebar.update_ms", median(updateMs), 2);
    print("sidebar.update_rows_touched", rowsTouched, 0);
    print("sidebar.search_ms", median(searchMs), 2);
    print("sidebar.search_rows", double(searchRows), 0);
    print("sidebar.rebuild_ms_2000", median(rebuildMs), 2);
    return 0;
}
