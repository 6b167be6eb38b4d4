#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "WidgetCensus.h"
#include "Inspection/InspectionTestSupport.h"

#include "Domain/ProtocolNames.h"
#include "Session/SessionModel.h"
#include "Session/Transcript.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Conversation/BlockView.h"
#include "UI/Conversation/NoticeRow.h"
#include "UI/Conversation/QueuedMessagesDock.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/ToolPresentationView.h"
#include "UI/Inspection/SubagentCatalogView.h"
#include "UI/Inspection/TrajectoryView.h"
#include "UI/Settings/HostSettingsTab.h"
#include "UI/Settings/PluginSettingsTab.h"
#include "UI/Settings/SkillsTab.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Shared/PagedColumn.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

// Whatever the host sends, a view holds about this many widgets and lays out no text longer
// than this at once (longer texts go to views that lay out only the lines they show).
constexpr int kWidgetBound = 600;
constexpr qsizetype kTextBound = LongTextView::kLongText;

using Elements = JSONValue::Elements;

QString entryText(qsizetype i) { return u"第 "_s + QString::number(i) + u" 项"_s; }

// A text of `n` characters without a break anywhere.
QString unbroken(qsizetype n) { return QString(n, u'x'); }

Elements elements(qsizetype n, const std::function<JSONValue(qsizetype)> &make)
{
    Elements out;
    out.reserve(size_t(n));
    for (qsizetype i = 0; i < n; ++i)
        out.push_back(make(i));
    return out;
}

JSONValue card(const QString &kind, JSONValue::Members members)
{
    members.emplace_back(u"card"_s, kind);
    return JSONValue::object(std::move(members));
}

QString lines(qsizetype n)
{
    QStringList out;
    for (qsizetype i = 0; i < n; ++i)
        out << entryText(i);
    return out.join(u'\n');
}

JSONValue diff(qsizetype entries, qsizetype lineCount, const QString &path = u"a.txt"_s)
{
    return card(u"diff"_s, {{u"diffs"_s, JSONValue::array(elements(entries, [&](qsizetype) {
                                 return JSONValue::object({{u"path"_s, path},
                                                           {u"oldText"_s, lines(lineCount)},
                                                           {names::diffNewTextKey.toString(), lines(lineCount)}});
                             }))}});
}

JSONValue web(qsizetype sources, const QString &title, const QString &snippet)
{
    return card(u"web"_s, {{u"sources"_s, JSONValue::array(elements(sources, [&](qsizetype i) {
                                return JSONValue::object({{u"title"_s, title.isEmpty() ? entryText(i) : title},
                                                          {u"url"_s, u"https://example.org/"_s + QString::number(i)},
                                                          {u"snippet"_s, snippet}});
                            }))}});
}

JSONValue searchGroups(qsizetype groups, qsizetype matches, const QString &line)
{
    return card(u"search"_s, {{names::searchGroupsKey.toString(), JSONValue::array(elements(groups, [&](qsizetype g) {
                                   return JSONValue::object(
                                       {{u"path"_s, entryText(g)},
                                        {u"matches"_s, JSONValue::array(elements(matches, [&](qsizetype m) {
                                             return JSONValue::object({{u"lineNumber"_s, m + 1}, {u"line"_s, line}});
                                         }))}});
                               }))}});
}

JSONValue read(qsizetype count, const QString &text)
{
    return card(u"read"_s, {{u"path"_s, u"a.txt"_s},
                            {u"lines"_s, JSONValue::array(elements(count, [&](qsizetype i) {
                                 return JSONValue::object({{u"number"_s, i + 1}, {u"text"_s, text}});
                             }))}});
}

JSONValue secret(const QString &path)
{
    return JSONValue::object({{u"path"_s, JSONValue::array({path})}, {u"set"_s, true}});
}

JSONValue hostPlugin(const QString &id, const QString &module)
{
    return JSONValue::object({{u"entryId"_s, id}, {u"moduleName"_s, module}, {u"enabled"_s, true}});
}

// A dynamic plugin with one package, `text` its name and purpose.
JSONValue dynamicPlugin(const QString &id, const QString &text)
{
    return JSONValue::object({{u"pluginId"_s, id},
                              {u"agentId"_s, u"a"_s},
                              {u"currentPackageId"_s, u"v"_s},
                              {u"packages"_s, JSONValue::array({JSONValue::object({{u"packageId"_s, u"v"_s},
                                                                                   {u"name"_s, text},
                                                                                   {u"purpose"_s, text},
                                                                                   {u"hasHostHalf"_s, true},
                                                                                   {u"hasClientHalf"_s, false}})})}});
}

JSONValue skill(const QString &name, const QString &description)
{
    return JSONValue::object({{u"name"_s, name}, {u"description"_s, description}, {u"modelInvocable"_s, true}});
}

JSONValue option(const QString &label, const QString &description = u"说明"_s)
{
    return JSONValue::object({{u"label"_s, label}, {u"description"_s, description}});
}

JSONValue question(const QString &text, Elements options)
{
    return JSONValue::object({{u"id"_s, u"q"_s}, {u"question"_s, text}, {u"options"_s, JSONValue::array(std::move(options))}});
}

JSONValue queued(const QString &id, const QString &text)
{
    const JSONValue content = JSONValue::array({JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, text}})});
    return JSONValue::object(
        {{u"id"_s, id}, {u"message"_s, JSONValue::object({{u"content"_s, content}})}, {u"placement"_s, u"queued"_s}});
}

JSONValue todo(const QString &text)
{
    return JSONValue::object({{u"content"_s, text}, {u"status"_s, u"pending"_s}});
}

// A view whose host data never arrived is not built: its row fails.
template <class Done>
bool waitFor(Done done)
{
    return QTest::qWaitFor(done, 20000);
}

// The views under test, each built from host data with `n` entries (or `n` characters) and
// placed in a window of the width the transcript gives.
class Shapes
{
public:
    using Build = std::function<QWidget *(Shapes &, qsizetype n)>;

    QWidget *window() const { return m_window.get(); }

    // Rows of the transcript take the height they ask for at the width: `fill` gives them the
    // window's height instead of placing them at the top.
    QWidget *place(QWidget *view, bool fill = false)
    {
        m_window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_window.get());
        view->setParent(m_window.get());
        layout->addWidget(view);
        if (!fill)
            layout->addStretch(1);
        m_window->resize(740, 800);
        m_window->show();
        if (!QTest::qWaitForWindowExposed(m_window.get()))
            qWarning("window not exposed");
        return view;
    }

    QWidget *cardView(JSONValue presentation, QString arguments = {}, std::optional<QString> result = {})
    {
        return place(new ToolPresentationView({std::move(presentation), std::move(arguments), std::move(result), false}));
    }

    // A store connected to a simulated host whose world `prepare` filled.
    AppModel *store(const std::function<void(sim::SimWorld &, sim::SimHost &)> &prepare)
    {
        m_harness = std::make_unique<test::StoreHarness>();
        prepare(m_harness->world, m_harness->host);
        AppModel *s = m_harness->connected();
        m_harness->waitForStreams();
        return s;
    }

    // The model of session "s1", its history read.
    std::shared_ptr<SessionModel> session()
    {
        m_harness->store->selection()->selectSession(u"s1"_s);
        const auto loaded = [this] {
            const auto model = m_harness->store->selection()->sessionModel(u"s1"_s);
            return model && model->historyLoaded();
        };
        if (!QTest::qWaitFor(loaded, 20000))
            qWarning("session history not loaded");
        return m_harness->store->selection()->sessionModel(u"s1"_s);
    }

    test::StoreHarness &harness() { return *m_harness; }

    QWidget *hostSettings(const std::function<void(sim::SimWorld &)> &prepare)
    {
        AppModel *s = store([&](sim::SimWorld &world, sim::SimHost &) { prepare(world); });
        auto *tab = new HostSettingsTab(s->hostSettings());
        place(tab);
        return waitFor([tab] { return tab->loaded(); }) ? tab : nullptr;
    }

    QWidget *plugins(Elements host, Elements dynamic)
    {
        const size_t count = dynamic.size();
        AppModel *s = store([&](sim::SimWorld &world, sim::SimHost &) {
            world.setPluginInventory(JSONValue::array(std::move(host)));
            world.setDynamicInventory(JSONValue::array(std::move(dynamic)));
        });
        m_harness->waitForListed();
        if (!waitFor([s, count] { return s->plugins()->dynamicPlugins().size() == count; }))
            return nullptr;
        return place(new PluginSettingsTab(s->plugins()));
    }

    QWidget *skills(Elements skills)
    {
        const size_t count = skills.size();
        AppModel *s = store([&](sim::SimWorld &world, sim::SimHost &) {
            world.addSession(test::session(u"s1"_s, 2000));
            world.setSkills(u"s1"_s, JSONValue::array(std::move(skills)));
        });
        s->selection()->selectSession(u"s1"_s);
        auto *tab = new SkillsTab(s->hostSettings(), s->selection());
        place(tab);
        return waitFor([tab, count] { return tab->skills().size() == count; }) ? tab : nullptr;
    }

    QWidget *question(JSONValue question)
    {
        AppModel *s = store([](sim::SimWorld &world, sim::SimHost &) { world.addSession(test::session(u"s1"_s, 2000)); });
        m_harness->world.pushQuestionRequested(
            u"r1"_s, JSONValue::object({{u"sessionId"_s, u"s1"_s}, {u"questions"_s, JSONValue::array({question})}}));
        if (!waitFor([s] { return !s->interactions()->pendingQuestions().empty(); }))
            return nullptr;
        return place(new QuestionCard(s->interactions(), s->interactions()->pendingQuestions().front()));
    }

    // The dock opened, as a user opens it.
    QWidget *queue(Elements messages)
    {
        const size_t count = messages.size();
        AppModel *s = store([](sim::SimWorld &world, sim::SimHost &) { world.addSession(test::session(u"s1"_s, 2000)); });
        const std::shared_ptr<SessionModel> model = session();
        m_harness->world.pushQueue(u"s1"_s, JSONValue::array(std::move(messages)));
        if (!waitFor([model, count] { return model->queuedMessages().size() == count; }))
            return nullptr;
        QWidget *dock = place(new QueuedMessagesDock(s->sessionActions(), model));
        if (auto *header = dock->findChild<QAbstractButton *>(u"queued-messages-header"_s))
            QTest::mouseClick(header, Qt::LeftButton);
        return dock;
    }

    // A run of `turns` turns, each step's text `text`, in the trajectory's ledger.
    QWidget *trajectory(qsizetype turns, const QString &text)
    {
        store([&](sim::SimWorld &world, sim::SimHost &) {
            world.addSession(test::session(u"s1"_s, 2000));
            for (qsizetype t = 1; t <= turns; ++t)
                test::appendTurn(world, u"s1"_s, t, text, u"shell"_s, u"ok"_s);
        });
        const std::shared_ptr<SessionModel> model = session();
        if (!model || !model->historyLoaded())
            return nullptr;
        return place(new TrajectoryView(model, [](const TrajectoryEventSelection &) {}), true);
    }

    // The banner's list opened, as a user opens it.
    QWidget *todos(Elements todos)
    {
        const size_t count = todos.size();
        AppModel *s = store([](sim::SimWorld &world, sim::SimHost &) { world.addSession(test::session(u"s1"_s, 2000)); });
        const std::shared_ptr<SessionModel> model = session();
        m_harness->world.pushProjection(u"s1"_s, u"todos"_s, JSONValue::array(std::move(todos)));
        if (!waitFor([model, count] { return model->todos().size() == count; }))
            return nullptr;
        QWidget *banner = place(new GoalBannerView(s->sessionActions(), model));
        if (auto *header = banner->findChild<QAbstractButton *>(u"todo-header"_s))
            QTest::mouseClick(header, Qt::LeftButton);
        return banner;
    }

    void reset()
    {
        m_window.reset();
        m_harness.reset();
    }

private:
    std::unique_ptr<test::StoreHarness> m_harness;
    std::unique_ptr<QWidget> m_window;
};

struct Shape
{
    const char *name;
    Shapes::Build build;
};

const std::vector<Shape> &shapes()
{
    static const std::vector<Shape> all = {
        // Cards: every list inside one, by count.
        {"card.diff.entries", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(diff(n, 2)); }},
        {"card.diff.lines", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(diff(1, n)); }},
        {"card.web.sources", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(web(n, {}, u"摘要"_s)); }},
        {"card.generic.locations",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.cardView(card(u"generic"_s, {{u"locations"_s, JSONValue::array(elements(n, [](qsizetype i) {
                                                        return JSONValue::object({{u"path"_s, entryText(i)}, {u"line"_s, i}});
                                                    }))}}));
         }},
        {"card.search.paths",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.cardView(card(u"search"_s, {{u"shape"_s, u"paths"_s},
                                                  {u"paths"_s, JSONValue::array(elements(n, [](qsizetype i) {
                                                       return JSONValue(entryText(i));
                                                   }))}}));
         }},
        {"card.search.groups", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(searchGroups(n, 2, u"match"_s)); }},
        {"card.search.matches", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(searchGroups(1, n, u"match"_s)); }},
        {"card.read.lines", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(read(n, u"line"_s)); }},
        {"card.terminal.lines",
         [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(card(u"terminal"_s, {{u"output"_s, lines(n)}})); }},
        // Cards: one text of any length, without a break.
        {"card.diff.path.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(diff(1, 1, unbroken(n))); }},
        {"card.diff.line.text",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.cardView(card(u"diff"_s, {{u"diffs"_s, JSONValue::array({JSONValue::object(
                                                                 {{u"path"_s, u"a"_s}, {names::diffNewTextKey.toString(), unbroken(n)}})})}}));
         }},
        {"card.web.title.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(web(3, unbroken(n), u"摘要"_s)); }},
        {"card.web.snippet.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(web(3, {}, unbroken(n))); }},
        {"card.web.answer.text",
         [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(card(u"web"_s, {{u"answer"_s, unbroken(n)}})); }},
        {"card.search.line.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(searchGroups(2, 2, unbroken(n))); }},
        {"card.search.path.text",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.cardView(card(u"search"_s, {{u"shape"_s, u"paths"_s}, {u"paths"_s, JSONValue::array({unbroken(n)})}}));
         }},
        {"card.read.line.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(read(3, unbroken(n))); }},
        {"card.terminal.line.text",
         [](Shapes &s, qsizetype n) -> QWidget * { return s.cardView(card(u"terminal"_s, {{u"output"_s, unbroken(n)}})); }},
        {"card.generic.content.text",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.cardView(card(u"generic"_s, {{u"content"_s, JSONValue::array({unbroken(n)})}}), unbroken(n));
         }},
        {"card.generic.location.text",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.cardView(card(u"generic"_s, {{u"locations"_s, JSONValue::array({JSONValue::object(
                                                                       {{u"path"_s, unbroken(n)}})})}}));
         }},

        // The other lists of host data.
        {"settings.namespaces",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.hostSettings([n](sim::SimWorld &world) {
                 for (qsizetype i = 0; i < n; ++i)
                     world.addSettingsNamespace(u"ns"_s + QString::number(i), JSONValue::emptyObject(),
                                                JSONValue::object({{u"k"_s, i}}));
             });
         }},
        {"settings.secrets",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.hostSettings([n](sim::SimWorld &world) {
                 world.addSettingsNamespace(u"ns"_s, JSONValue::emptyObject(), JSONValue::emptyObject(), u"live"_s,
                                            JSONValue::array(elements(n, [](qsizetype i) { return secret(entryText(i)); })));
             });
         }},
        {"settings.namespace.text",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.hostSettings([n](sim::SimWorld &world) {
                 world.addSettingsNamespace(unbroken(n), JSONValue::emptyObject(), JSONValue::emptyObject(), u"live"_s,
                                            JSONValue::array({secret(unbroken(n))}));
             });
         }},
        {"settings.plugins",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.plugins(elements(n, [](qsizetype i) { return hostPlugin(u"e"_s + QString::number(i), entryText(i)); }),
                              elements(n, [](qsizetype i) { return dynamicPlugin(u"p"_s + QString::number(i), entryText(i)); }));
         }},
        {"settings.plugin.text",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.plugins({hostPlugin(u"e"_s, unbroken(n))}, {dynamicPlugin(unbroken(n), unbroken(n))});
         }},
        {"settings.skills",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.skills(elements(n, [](qsizetype i) { return skill(entryText(i), u"做事"_s); }));
         }},
        {"settings.skill.text",
         [](Shapes &s, qsizetype n) -> QWidget * { return s.skills({skill(unbroken(n), unbroken(n)).with(u"whenToUse"_s, unbroken(n))}); }},
        {"question.options",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.question(question(u"选哪个？"_s, elements(n, [](qsizetype i) { return option(entryText(i)); })));
         }},
        {"question.text",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.question(question(unbroken(n), {option(unbroken(n), unbroken(n))}).with(u"header"_s, unbroken(n)));
         }},
        {"queue.messages",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.queue(elements(n, [](qsizetype i) { return queued(u"m"_s + QString::number(i), entryText(i)); }));
         }},
        {"queue.message.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.queue({queued(u"m"_s, unbroken(n))}); }},
        {"todos",
         [](Shapes &s, qsizetype n) -> QWidget * {
             return s.todos(elements(n, [](qsizetype i) { return todo(entryText(i)); }));
         }},
        {"todo.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.todos({todo(unbroken(n))}); }},
        {"trajectory.turns", [](Shapes &s, qsizetype n) -> QWidget * { return s.trajectory(n, u"步骤"_s); }},
        {"trajectory.text", [](Shapes &s, qsizetype n) -> QWidget * { return s.trajectory(2, unbroken(n)); }},
    };
    return all;
}

} // namespace

class tst_HostileShapes : public QObject
{
    Q_OBJECT

    Shapes m_shapes;

    QWidget *build(const QString &name, qsizetype n)
    {
        const auto shape = std::find_if(shapes().begin(), shapes().end(), [&](const Shape &s) { return name == QLatin1String(s.name); });
        if (shape == shapes().end())
            return nullptr;
        QWidget *view = shape->build(m_shapes, n);
        settle();
        return view;
    }

    // Whatever a view does once shown (deferred layout, rows made as they come into sight)
    // happens before it is counted; widgets it let go of are gone.
    static void settle()
    {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // How many entries a "显示更多" control says are left.
    static qsizetype remaining(const QAbstractButton *more)
    {
        const QRegularExpressionMatch m = QRegularExpression(u"还有 (\\d+) "_s).match(more->text());
        return m.hasMatch() ? m.captured(1).toLongLong() : -1;
    }

    static QAbstractButton *shownMoreControl(QWidget *view)
    {
        for (auto *button : view->findChildren<QAbstractButton *>()) {
            if (button->objectName() == u"show-more" && button->isVisible())
                return button;
        }
        return nullptr;
    }

private Q_SLOTS:
    void boundedWhateverTheHostSends_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<qsizetype>("small");
        QTest::addColumn<qsizetype>("large");
        for (const Shape &shape : shapes()) {
            const bool text = QByteArray(shape.name).endsWith(".text");
            QTest::newRow(shape.name) << QString::fromLatin1(shape.name) << qsizetype(text ? 100 : 10)
                                      << qsizetype(text ? 1000000 : 10000);
        }
    }

    // Ten entries or ten thousand, a text of a hundred characters or of a million: the widgets
    // a view makes and the longest text it lays out at once stay under the same bound.
    void boundedWhateverTheHostSends()
    {
        QFETCH(QString, shape);
        QFETCH(qsizetype, small);
        QFETCH(qsizetype, large);
        for (const qsizetype n : {small, large}) {
            QWidget *view = build(shape, n);
            QVERIFY(view);
            const test::WidgetCensus census = test::widgetCensus(view);
            QVERIFY2(census.widgets <= kWidgetBound,
                     qPrintable(u"%1 with %2: %3 widgets"_s.arg(shape).arg(n).arg(census.widgets)));
            QVERIFY2(census.longestText <= kTextBound,
                     qPrintable(u"%1 with %2: a text of %3 laid out at once"_s.arg(shape).arg(n).arg(census.longestText)));
            const QStringList problems = test::accessibilityProblems(m_shapes.window());
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
            m_shapes.reset();
        }
    }

    void moreOnRequest_data()
    {
        QTest::addColumn<QString>("shape");
        for (const char *shape : {"card.diff.entries", "card.web.sources", "card.search.paths", "card.search.groups",
                                  "settings.namespaces", "settings.plugins", "settings.skills", "question.options",
                                  "queue.messages"})
            QTest::newRow(shape) << QString::fromLatin1(shape);
    }

    // Of ten thousand entries a page shows; each press of the control under it shows the next
    // page, and the view stays as bounded as before.
    void moreOnRequest()
    {
        QFETCH(QString, shape);
        QWidget *view = build(shape, 10000);
        QVERIFY(view);
        QAbstractButton *more = shownMoreControl(view);
        QVERIFY(more);
        const qsizetype before = remaining(more);
        QVERIFY2(before > 0 && before < 20000, qPrintable(more->text()));
        const int widgets = test::widgetCensus(view).widgets;
        QTest::mouseClick(more, Qt::LeftButton);
        settle();
        const qsizetype after = remaining(more);
        QVERIFY2(after >= 0 && after < before, qPrintable(more->text()));
        QVERIFY(test::widgetCensus(view).widgets >= widgets);
        QVERIFY(test::widgetCensus(view).widgets <= kWidgetBound);
        m_shapes.reset();
    }

    void collapsedLetsGo_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("tool card") << u"tool"_s;
        QTest::newRow("long reasoning") << u"reasoning-long"_s;
        QTest::newRow("short reasoning") << u"reasoning-short"_s;
        QTest::newRow("notice output") << u"notice"_s;
    }

    // Collapsed again, a row holds what it held before it was opened: the opened body's widgets
    // and laid-out text are gone, to be made again from the row's value when it opens.
    void collapsedLetsGo()
    {
        QFETCH(QString, kind);
        QWidget *row = nullptr;
        QAbstractButton *header = nullptr;
        if (kind == u"tool") {
            BlockItem block;
            block.kind = BlockKind::toolCall;
            block.arguments = u"{}"_s;
            block.resultText = u"ok"_s;
            block.resultView = diff(10000, 2);
            auto *chip = new ToolCallChip(block, false);
            m_shapes.place(chip, true);
            header = chip->findChild<QAbstractButton *>(u"tool-call-header"_s);
            row = chip;
        } else if (kind == u"notice") {
            NoticeItem notice;
            notice.id = u"orphan-tool-results-1"_s;
            notice.icon = u"info.circle"_s;
            notice.text = u"工具输出"_s;
            notice.payload = unbroken(20000);
            auto *view = new NoticeRow(notice);
            m_shapes.place(view, true);
            header = view->findChild<QAbstractButton *>(u"notice-header"_s);
            row = view;
        } else {
            const QString text = kind == u"reasoning-long" ? u"推理的一行\n"_s.repeated(20000) : u"推理的一行"_s.repeated(50);
            auto *reasoning = new ReasoningBlock(text, false);
            m_shapes.place(reasoning, true);
            header = reasoning->findChild<QAbstractButton *>(u"reasoning-header"_s);
            row = reasoning;
        }
        QVERIFY(header);
        settle();
        const test::WidgetCensus closed = test::widgetCensus(row);
        QTest::mouseClick(header, Qt::LeftButton);
        settle();
        const test::WidgetCensus open = test::widgetCensus(row);
        QVERIFY(row->property("expanded").toBool() || row->findChild<QWidget *>(u"tool-call-detail"_s));
        QVERIFY2(open.widgets > closed.widgets || open.longestText > closed.longestText,
                 qPrintable(u"%1/%2 %3/%4"_s.arg(open.widgets).arg(closed.widgets).arg(open.longestText).arg(closed.longestText)));
        QTest::mouseClick(header, Qt::LeftButton);
        settle();
        const test::WidgetCensus closedAgain = test::widgetCensus(row);
        QCOMPARE(closedAgain.widgets, closed.widgets);
        QCOMPARE(closedAgain.longestText, closed.longestText);
        m_shapes.reset();
    }

    // The subagent menu is a list of actions rather than widgets: its items come a page at a
    // time too.
    void subagentMenuBounded_data()
    {
        QTest::addColumn<qsizetype>("runs");
        QTest::newRow("10") << qsizetype(10);
        QTest::newRow("10000") << qsizetype(10000);
    }

    void subagentMenuBounded()
    {
        QFETCH(qsizetype, runs);
        AppModel *store = m_shapes.store([runs](sim::SimWorld &world, sim::SimHost &) {
            world.addSession(test::session(u"root"_s, 2000));
            QList<sim::SimWorld::SubagentEntry> entries;
            for (qsizetype i = 0; i < runs; ++i) {
                sim::SimWorld::SubagentEntry entry;
                entry.id = u"run-"_s + QString::number(i);
                entry.mode = u"one-shot"_s;
                entries << entry;
            }
            world.setSubagents(u"root"_s, entries);
        });
        QVERIFY(waitFor([store, runs] {
            const auto lists = store->sessions()->subagentsByParent();
            return lists.contains(u"root"_s) && qsizetype(lists.value(u"root"_s).entries.size()) == runs;
        }));
        auto *catalog = new SubagentCatalogView(store->sessions(), store->selection(), u"root"_s);
        m_shapes.place(catalog);
        QMenu *menu = catalog->catalogMenu();
        const auto rows = [menu] {
            const QList<QAction *> items = menu->actions();
            return std::count_if(items.begin(), items.end(), [](QAction *a) { return a->objectName() == u"subagent-row"; });
        };
        const auto more = [menu] { return menu->findChild<QAction *>(u"subagent-catalog-more"_s); };
        const qsizetype page = SubagentCatalogView::kMenuRowsPerPage;
        QCOMPARE(rows(), std::min(runs, page));
        QCOMPARE(more() != nullptr, runs > page);
        if (runs <= page) {
            m_shapes.reset();
            return;
        }
        // Choosing the item closes the menu as any item does; it opens again, a page longer.
        QTimer::singleShot(0, catalog, [menu, more] {
            QTRY_VERIFY(QApplication::activePopupWidget() == menu);
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(more()).center());
        });
        QTest::mouseClick(catalog, Qt::LeftButton);
        QTRY_VERIFY(QApplication::activePopupWidget() == menu);
        QCOMPARE(rows(), 2 * page);
        QCOMPARE(more()->text(), PagedColumn::moreText(runs - 2 * page));
        QTest::keyClick(menu, Qt::Key_Escape);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        m_shapes.reset();
    }
};

NBD_GUI_TEST_MAIN(tst_HostileShapes)
#include "tst_hostileshapes.moc"
