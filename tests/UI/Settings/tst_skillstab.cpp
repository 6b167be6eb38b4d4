#include "GuiTestMain.h"
#include "SettingsTestSupport.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Settings/SkillsTab.h"
#include "UI/Shared/StatusPill.h"

#include <QLabel>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::sim::LoggedRequest;
using nbd::sim::Reply;

namespace {

JSONValue skill(const QString &name, bool invocable, std::optional<QString> when = {})
{
    JSONValue value = JSONValue::object(
        {{u"name"_s, name}, {u"description"_s, name + u" does things."_s}, {u"modelInvocable"_s, invocable}});
    if (when)
        value = value.with(u"whenToUse"_s, *when);
    return value;
}

} // namespace

class tst_SkillsTab : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::SettingsFixture> fixture;
    test::SettingsFixture &fx() const { return *fixture; }

    SkillsTab *openSkills()
    {
        fx().select(SettingsSection::Skills);
        return qobject_cast<SkillsTab *>(fx().view->page());
    }

    QStringList cardNames() const
    {
        QStringList names;
        // Each name is shown isolated from the text around it.
        for (QLabel *label : fx().window->findChildren<QLabel *>(u"settings-skill-name"_s)) {
            const QString shown = label->text();
            names << (shown.startsWith(u'\u2068') && shown.endsWith(u'\u2069') ? shown.mid(1, shown.size() - 2)
                                                                              : u"not isolated: "_s + shown);
        }
        return names;
    }

    // Until the calls the store made for a selection (history, models) have been answered;
    // a slow skill list may still be on its way.
    void settle() const { fx().harness.methodsThroughBarrier(); }

    // Until the host has answered `count` skill lists for `sessionId` and those answers have
    // reached the store.
    void waitForSkillAnswers(const QSignalSpy &written, const QString &sessionId, int count) const
    {
        const auto answered = [&] {
            int n = 0;
            for (const LoggedRequest &request : test::answered(written, u"skill.list"_s))
                n += request.payload.find(u"sessionId")->string() == sessionId;
            return n;
        };
        QTRY_COMPARE_WITH_TIMEOUT(answered(), count, 10000);
        settle();
    }

    bool showing(const QString &objectName) const
    {
        QWidget *w = fx().find(objectName);
        return w && w->isVisible();
    }

private Q_SLOTS:
    void init()
    {
        fixture = std::make_unique<test::SettingsFixture>();
        fx().harness.world.addSession(test::session(u"s1"_s, 1000));
        fx().harness.world.addSession(test::session(u"s2"_s, 2000));
        fx().harness.world.addSession(test::session(u"empty"_s, 3000));
    }
    void cleanup() { fixture.reset(); }

    // Without a selected session the page says what it needs, whatever it loaded before.
    void noSelection()
    {
        fx().open(false);
        openSkills();
        QVERIFY(showing(u"settings-skills-unavailable"_s));
        auto *state = fx().find<ContentUnavailableState>(u"settings-skills-unavailable"_s);
        QCOMPARE(state->title(), u"选择一个会话后查看可用技能"_s);
        QCOMPARE(state->symbolName(), u"wand.and.stars"_s);
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());

        fx().harness.world.setSkills(u"s1"_s, JSONValue::array({skill(u"a"_s, true)}));
        fx().harness.connected();
        fx().store()->selection()->selectSession(u"s1"_s);
        SkillsTab *page = openSkills();
        QTRY_COMPARE(cardNames(), QStringList{u"a"_s});
        fx().store()->disconnect(); // the selection goes with the connection
        QVERIFY(showing(u"settings-skills-unavailable"_s));
        QCOMPARE(page->skills().size(), size_t(1));
    }

    // One card per skill in the host's order, with its badge and, when given, when to use it.
    void cardsFollowTheHost()
    {
        const QString longWhen = u"When the user asks for it. "_s.repeated(30);
        fx().harness.world.setSkills(u"s1"_s, JSONValue::array({skill(u"zeta"_s, false), skill(u"alpha"_s, true, longWhen),
                                                                skill(u"mid"_s, true, u"Rarely."_s)}));
        fx().harness.connected();
        fx().store()->selection()->selectSession(u"s1"_s);
        fx().open(false);
        SkillsTab *page = openSkills();
        QTRY_COMPARE(cardNames(), (QStringList{u"zeta"_s, u"alpha"_s, u"mid"_s}));
        QCOMPARE(page->skills().size(), size_t(3));
        QCOMPARE(fx().harness.host.requests(u"skill.list"_s).last().payload,
                 JSONValue::object({{u"sessionId"_s, u"s1"_s}}));
        QWidget *zeta = fx().find(u"settings-skill-zeta"_s);
        QCOMPARE(zeta->findChild<StatusPill *>()->text(), u"仅显示"_s);
        QCOMPARE(zeta->findChild<StatusPill *>()->kind(), StatusPill::Kind::Neutral);
        QVERIFY(!zeta->findChild<ClampedLabel *>(u"settings-skill-when"_s));
        QCOMPARE(zeta->findChild<QLabel *>(u"settings-skill-description"_s)->text(), u"zeta does things."_s);
        QWidget *alpha = fx().find(u"settings-skill-alpha"_s);
        QCOMPARE(alpha->findChild<StatusPill *>()->text(), u"模型可调用"_s);
        QCOMPARE(alpha->findChild<StatusPill *>()->kind(), StatusPill::Kind::Accent);
        auto *when = alpha->findChild<ClampedLabel *>(u"settings-skill-when"_s);
        QVERIFY(when->text().startsWith(u"何时使用:When the user"_s));
        QCOMPARE(when->shownLines(when->width()).size(), 3);
        QVERIFY(when->shownLines(when->width()).last().endsWith(u"…"_s));
        auto *shortWhen = fx().find(u"settings-skill-mid"_s)->findChild<ClampedLabel *>(u"settings-skill-when"_s);
        QCOMPARE(shortWhen->shownLines(shortWhen->width()), QStringList{u"何时使用:Rarely."_s});
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    // An empty catalogue, or no host, leaves the loading indicator up.
    void emptyCatalogueKeepsLoading()
    {
        fx().harness.connected();
        fx().store()->selection()->selectSession(u"empty"_s);
        fx().open(false);
        openSkills();
        QTRY_COMPARE(fx().harness.requestCount(u"skill.list"_s), 1);
        settle(); // the empty answer has come back
        QVERIFY(showing(u"settings-skills-loading"_s));
        QCOMPARE(fx().find<ProgressState>(u"settings-skills-loading"_s)->label(), u"加载技能…"_s);

        // With a session selected but no host, the store answers with nothing at all.
        fx().store()->disconnect();
        fx().store()->selection()->selectSession(u"s1"_s);
        QVERIFY(showing(u"settings-skills-loading"_s));
    }

    // The list follows the selection; an answer for an earlier selection that arrives after
    // the later one is dropped. Deselecting shows the unavailable view at once.
    void lateAnswersAreDropped()
    {
        fx().harness.world.setSkills(u"s1"_s, JSONValue::array({skill(u"one"_s, true)}));
        fx().harness.world.setSkills(u"s2"_s, JSONValue::array({skill(u"two"_s, true)}));
        fx().harness.host.setHandler(u"skill.list"_s, [](const LoggedRequest &r) {
            const QString id = r.payload.find(u"sessionId")->string().value_or(QString());
            const JSONValue list = JSONValue::object({{u"skills"_s, JSONValue::array({skill(id == u"s1" ? u"one"_s : u"two"_s, true)})}});
            // The first session's catalogue is slow to come.
            return id == u"s1" ? Reply::value(list).delayed(500) : Reply::value(list);
        });
        QSignalSpy written(&fx().harness.host, &sim::SimHost::requestFinished);
        fx().harness.connected();
        fx().store()->selection()->selectSession(u"s2"_s);
        fx().open(false);
        SkillsTab *page = openSkills();
        QTRY_COMPARE(cardNames(), QStringList{u"two"_s});

        fx().store()->selection()->selectSession(u"s1"_s);
        QTRY_COMPARE(fx().harness.requestCount(u"skill.list"_s), 2);
        // The earlier list stays until the new answer comes.
        QCOMPARE(cardNames(), QStringList{u"two"_s});
        // The store's own loading for a selection is let finish before the next one.
        settle();
        fx().store()->selection()->selectSession(u"s2"_s);
        QTRY_COMPARE(fx().harness.requestCount(u"skill.list"_s), 3);
        waitForSkillAnswers(written, u"s1"_s, 1); // the slow answer for s1 arrives meanwhile
        QCOMPARE(cardNames(), QStringList{u"two"_s});
        QCOMPARE(page->skills().front().name, u"two"_s);

        fx().store()->selection()->selectSession(u"s1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(cardNames(), QStringList{u"one"_s}, 3000);

        // Leaving the page while an answer is on its way: the answer finds nobody.
        fx().store()->selection()->selectSession(u"s2"_s);
        settle();
        fx().store()->selection()->selectSession(u"s1"_s);
        settle();
        fx().select(SettingsSection::About);
        waitForSkillAnswers(written, u"s1"_s, 3);
        QCOMPARE(fx().view->page()->objectName(), u"settings-about"_s);
    }
};

NBD_GUI_TEST_MAIN(tst_SkillsTab)
#include "tst_skillstab.moc"
