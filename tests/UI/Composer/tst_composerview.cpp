// The composer driven by keyboard, input method and mouse, against a store connected to the
// simulated host.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "TypeText.h"
#include "UI/Shared/ComposerControls.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Composer/PermissionSwitch.h"

#include <QCheckBox>
#include <QInputMethodEvent>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

JSONValue permissionsValue(const QString &current, QStringList values)
{
    JSONValue::Elements options;
    for (const QString &value : values)
        options.push_back(JSONValue::object({{u"value"_s, value}, {u"name"_s, u"Host "_s + value}}));
    return JSONValue::object({{u"options"_s, JSONValue::array(std::move(options))}, {u"current"_s, current}});
}

JSONValue catalogue()
{
    auto model = [](QString id, QString name) { return JSONValue::object({{u"id"_s, id}, {u"name"_s, name}}); };
    const JSONValue groupA = JSONValue::object(
        {{u"id"_s, u"alpha"_s}, {u"name"_s, u"Alpha & Co"_s}, {u"models"_s, JSONValue::array({model(u"vendor/m1"_s, u"M1"_s), model(u"m2"_s, u"M2"_s)})}});
    const JSONValue groupB = JSONValue::object(
        {{u"id"_s, u"beta"_s}, {u"name"_s, u"Beta"_s}, {u"models"_s, JSONValue::array({model(u"vendor/m1"_s, u"M1 (beta)"_s)})}});
    return JSONValue::object({{u"current"_s, JSONValue::object({{u"provider"_s, u"alpha"_s}, {u"model"_s, u"vendor/m1"_s}})},
                              {u"routable"_s, true},
                              {u"groups"_s, JSONValue::array({groupA, groupB})},
                              {u"failures"_s, JSONValue::array(JSONValue::Elements{})}});
}

QMenu *openMenu(QAbstractButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
    QMenu *menu = button->findChild<QMenu *>();
    if (!menu || !QTest::qWaitFor([menu] { return menu->isVisible(); }))
        return nullptr;
    return menu;
}

QAction *actionNamed(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

void clickAction(QMenu *menu, QAction *action)
{
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
}

} // namespace

class tst_ComposerView : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::StoreHarness> m_h;
    std::unique_ptr<QWidget> m_window;
    ComposerView *m_composer = nullptr;

    void showComposer(std::shared_ptr<SessionModel> session)
    {
        m_window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_window.get());
        layout->addStretch(1);
        m_composer = new ComposerView(m_h->store->selection(), m_h->store->sessionActions(), std::move(session),
                                      m_window.get());
        layout->addWidget(m_composer);
        m_window->resize(900, 400);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        m_composer->promptField()->setFocus();
    }

    QAbstractButton *actionButton() const { return m_composer->findChild<QAbstractButton *>(u"composer-action"_s); }
    CompactMenuButton *menuButton(const QString &name) const { return m_composer->findChild<CompactMenuButton *>(name); }

    QStringList promptTexts() const
    {
        QStringList texts;
        for (const sim::LoggedRequest &r : m_h->host.requests(u"session.prompt"_s))
            texts << test::promptText(r);
        return texts;
    }

private Q_SLOTS:
    void init()
    {
        m_h = std::make_unique<test::StoreHarness>();
        m_h->world.addSession(test::session(u"s1"_s, 2000));
        m_h->world.addSession(test::session(u"s2"_s, 1000));
        m_h->world.setModels(u"s1"_s, catalogue());
        m_h->world.setPermissionPresets(QStringList{u"read-only"_s, u"workspace-write"_s, u"danger-full-access"_s});
        m_h->world.setScript(sim::SimWorld::textScript(u"好的"_s));
        m_h->connectedAndStreaming();
    }

    void cleanup()
    {
        m_window.reset();
        m_h.reset();
    }

    // Every control of the composer does by its accessibility action what its click does:
    // the same call to the host, the same menu, the same text left in the field. Return on
    // a focused button presses it.
    void actionsDoWhatClicksDo()
    {
        const std::shared_ptr<SessionModel> session = m_h->openSession(u"s1"_s);
        qsizetype baseline = 0;
        test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            showComposer(session);
            test::typeText(m_composer->promptField(), u"你好"_s);
            m_h->waitForQuietHost();
            baseline = m_h->host.requests().size();
            return m_window.get();
        };
        check.state = [&] {
            QStringList prompts;
            const QList<sim::LoggedRequest> all = m_h->host.requests();
            for (qsizetype i = baseline; i < all.size(); ++i) {
                if (all[i].method == u"session.prompt"_s)
                    prompts << test::promptText(all[i]);
            }
            return m_h->methodsSince(baseline) + u" prompts "_s + prompts.join(u',') + u" field "_s
                + m_composer->promptField()->text();
        };
        check.async = true;
        check.quiet = [&] { m_h->waitForQuietHost(); };
        const test::ActionParityReport report = test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        // The send button and the menus at least, each with an effect.
        QVERIFY2(report.controls.size() >= 3, qPrintable(report.controls.join(u'\n')));
        QVERIFY2(report.changed >= 3, qPrintable(report.controls.join(u'\n')));

        check.open();
        actionButton()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(actionButton(), Qt::Key_Return);
        QTRY_COMPARE(promptTexts().last(), u"你好"_s);
        QVERIFY(m_composer->promptField()->text().isEmpty());
    }

    void returnSendsTheTextAsTypedAndShiftReturnStartsALine()
    {
        showComposer(m_h->openSession(u"s1"_s));
        PromptField *field = m_composer->promptField();
        QCOMPARE(field->placeholderText(), u"询问 Nimbrel Deck"_s);
        QVERIFY(!actionButton()->isEnabled());

        // Blanks only: the button stays disabled and Return leaves the text alone.
        test::typeText(field, u"   "_s);
        QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(field->text(), u"   \n"_s);
        QVERIFY(!actionButton()->isEnabled());
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(field->text(), u"   \n"_s);

        field->clear();
        test::typeText(field, u"  word"_s);
        QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
        QVERIFY(actionButton()->isEnabled());
        QCOMPARE(field->visibleLines(), 2);
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(field->text().isEmpty());
        QTRY_COMPARE(promptTexts(), QStringList{u"  word\n"_s});
        // The keypad's Enter submits as well.
        test::typeText(field, u"again"_s);
        QTest::keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
        QTRY_COMPARE(promptTexts(), (QStringList{u"  word\n"_s, u"again"_s}));
        test::requireAccessible(m_window.get());
    }

    void fieldGrowsToFourteenLines()
    {
        showComposer(m_h->openSession(u"s1"_s));
        PromptField *field = m_composer->promptField();
        const int oneLine = field->height();
        for (int i = 0; i < 20; ++i) {
            test::typeText(field, u"line"_s);
            QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
        }
        QCOMPARE(field->visibleLines(), 14);
        QVERIFY(field->height() > oneLine * 8);
        const int tall = field->height();
        test::typeText(field, u"more"_s);
        QCOMPARE(field->height(), tall);
    }

    // Chinese is drawn in a fallback font taller than the field's own: the field still grows
    // to show every line whole, without scrolling.
    void chineseLinesShowWhole()
    {
        showComposer(m_h->openSession(u"s1"_s));
        PromptField *field = m_composer->promptField();
        QTest::mouseClick(field->viewport(), Qt::LeftButton);
        test::typeText(field, u"把 notes.md 改名为 journal.md"_s);
        QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
        test::typeText(field, u"然后更新 README 里的链接。"_s);
        QCOMPARE(field->visibleLines(), 2);
        QTRY_COMPARE(field->verticalScrollBar()->maximum(), 0);
        QVERIFY(field->height() > 2 * field->fontMetrics().lineSpacing());
    }

    void inputMethodCompositionNeverSubmits()
    {
        showComposer(m_h->openSession(u"s1"_s));
        PromptField *field = m_composer->promptField();
        QInputMethodEvent preedit(u"nihao"_s, {});
        QCoreApplication::sendEvent(field, &preedit);
        QVERIFY(field->isComposing());
        QTest::keyClick(field, Qt::Key_Return);
        QInputMethodEvent commit;
        commit.setCommitString(u"你好"_s);
        QCoreApplication::sendEvent(field, &commit);
        QVERIFY(!field->isComposing());
        QCOMPARE(field->text(), u"你好"_s);
        QTest::keyClick(field, Qt::Key_Return);
        // A prompt sent by the Return during composition would stand ahead of this one.
        QTRY_COMPARE(promptTexts(), QStringList{u"你好"_s});
    }

    void runningSessionShowsStopAndStillSends()
    {
        const auto session = m_h->openSession(u"s1"_s);
        showComposer(session);
        // The run a prompt starts stays under way until it is cancelled.
        m_h->world.setStepDelay(600000);
        m_h->world.pushSessionStatus(u"s1"_s, true);
        QTRY_VERIFY(session->running());
        QAbstractButton *button = actionButton();
        QCOMPARE(button->property("symbolName").toString(), u"stop.fill"_s);
        QCOMPARE(button->accessibleName(), u"停止运行"_s);
        QVERIFY(button->isEnabled());
        test::typeText(m_composer->promptField(), u"排队的消息"_s);
        QTest::keyClick(m_composer->promptField(), Qt::Key_Return);
        QTRY_COMPARE(promptTexts(), QStringList{u"排队的消息"_s});
        QCOMPARE(button->property("symbolName").toString(), u"stop.fill"_s);
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE(m_h->requestCount(u"session.cancel"_s), 1);
        test::requireAccessible(m_window.get());
        m_h->world.pushSessionStatus(u"s1"_s, false);
        QTRY_COMPARE(button->property("symbolName").toString(), u"arrow.up"_s);
        QCOMPARE(button->accessibleName(), u"发送"_s);
    }

    void runModeMenuSendsPlanCommands()
    {
        const auto session = m_h->openSession(u"s1"_s);
        showComposer(session);
        // A draft in the field is neither sent nor touched by the mode commands.
        test::typeText(m_composer->promptField(), u"先别发"_s);
        CompactMenuButton *mode = menuButton(u"composer-mode-menu"_s);
        QCOMPARE(mode->text(), u"Agent"_s);
        QCOMPARE(mode->symbolName(), u"terminal"_s);
        QMenu *menu = openMenu(mode);
        QVERIFY(menu);
        // The row is at the foot of the window: the menu opens upwards, inside the window.
        QVERIFY(menu->geometry().bottom() < mode->mapToGlobal(QPoint(0, 0)).y());
        QVERIFY(menu->geometry().top() >= m_window->mapToGlobal(QPoint(0, 0)).y());
        QCOMPARE(actionNamed(menu, u"Agent 模式"_s)->property("symbolName").toString(), u"checkmark"_s);
        QCOMPARE(actionNamed(menu, u"计划模式"_s)->property("symbolName").toString(), u"circle"_s);
        clickAction(menu, actionNamed(menu, u"Agent 模式"_s));
        menu = openMenu(mode);
        clickAction(menu, actionNamed(menu, u"计划模式"_s));
        QTRY_COMPARE(promptTexts(), QStringList{u"/plan"_s});

        m_h->world.pushProjection(u"s1"_s, u"plan"_s, JSONValue::object({{u"active"_s, true}, {u"pending"_s, false}}));
        QTRY_COMPARE(mode->text(), u"计划"_s);
        QCOMPARE(mode->symbolName(), u"map"_s);
        menu = openMenu(mode);
        QCOMPARE(actionNamed(menu, u"计划模式"_s)->property("symbolName").toString(), u"checkmark"_s);
        // Plan mode already in force: choosing it sends nothing.
        clickAction(menu, actionNamed(menu, u"计划模式"_s));
        menu = openMenu(mode);
        clickAction(menu, actionNamed(menu, u"Agent 模式"_s));
        QTRY_COMPARE(promptTexts(), (QStringList{u"/plan"_s, u"/plan off"_s}));
        QCOMPARE(m_composer->promptField()->text(), u"先别发"_s);

        m_h->world.pushProjection(u"s1"_s, u"plan"_s, JSONValue::object({{u"active"_s, true}, {u"pending"_s, true}}));
        QTRY_COMPARE(mode->text(), u"切换中"_s);
        QVERIFY(!mode->isEnabled());
        test::requireAccessible(m_window.get());
    }

    void permissionMenuAndFullAccessConfirmation()
    {
        const auto session = m_h->openSession(u"s1"_s);
        showComposer(session);
        CompactMenuButton *permission = menuButton(u"composer-permission-menu"_s);
        QVERIFY(permission->isHidden());
        m_h->world.pushProjection(u"s1"_s, u"permissions"_s,
                                  permissionsValue(u"read-only"_s, {u"read-only"_s, u"custom"_s, u"R&D"_s, u"danger-full-access"_s}));
        QTRY_VERIFY(!permission->isHidden());
        QCOMPARE(permission->text(), u"只读"_s);
        QCOMPARE(permission->symbolName(), u"lock"_s);

        QMenu *menu = openMenu(permission);
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 3);
        QVERIFY(!actionNamed(menu, u"只读"_s)->isEnabled());
        // A host name with "&" keeps it (escaped, not a mnemonic).
        QVERIFY(actionNamed(menu, u"Host R&&D"_s));
        clickAction(menu, actionNamed(menu, u"完全访问"_s));

        FullAccessConfirmation *dialog = m_composer->fullAccessConfirmation();
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        QCOMPARE(dialog->objectName(), u"full-access-confirmation"_s);
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QVERIFY(!dialog->confirmButton()->isEnabled());
        {
            const QStringList problems = test::accessibilityProblems(dialog);
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        }
        QTest::mouseClick(dialog->acknowledgeBox(), Qt::LeftButton);
        QVERIFY(dialog->confirmButton()->isEnabled());
        QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
        QTRY_VERIFY(!dialog->isVisible());
        QVERIFY(!m_composer->permissionSwitch()->fullAccessCandidate());

        // Escape dismisses too; each opening starts unticked.
        menu = openMenu(permission);
        clickAction(menu, actionNamed(menu, u"完全访问"_s));
        QTRY_VERIFY(dialog->isVisible());
        QVERIFY(!dialog->acknowledgeBox()->isChecked());
        QVERIFY(!dialog->confirmButton()->isEnabled());
        QTest::mouseClick(dialog->acknowledgeBox(), Qt::LeftButton);
        QTest::keyClick(dialog, Qt::Key_Escape);
        QTRY_VERIFY(!dialog->isVisible());
        QCOMPARE(m_h->requestCount(u"commands/execute"_s), 0);

        menu = openMenu(permission);
        clickAction(menu, actionNamed(menu, u"完全访问"_s));
        QTRY_VERIFY(dialog->isVisible());
        QVERIFY(!dialog->acknowledgeBox()->isChecked());
        // Return does nothing while the box is unticked.
        QTest::keyClick(dialog, Qt::Key_Return);
        QVERIFY(dialog->isVisible());
        QTest::mouseClick(dialog->acknowledgeBox(), Qt::LeftButton);
        QTest::mouseClick(dialog->confirmButton(), Qt::LeftButton);
        QTRY_VERIFY(!dialog->isVisible());
        QCOMPARE(permission->text(), u"切换中"_s);
        QCOMPARE(permission->symbolName(), u"exclamationmark.shield"_s);
        QVERIFY(!permission->isEnabled());
        QTRY_COMPARE(m_h->world.permissionPreset(u"s1"_s), std::optional<QString>(u"danger-full-access"_s));
        QCOMPARE(m_h->requestCount(u"commands/execute"_s), 1);
        m_h->world.pushProjection(u"s1"_s, u"permissions"_s,
                                  permissionsValue(u"danger-full-access"_s, {u"read-only"_s, u"danger-full-access"_s}));
        QTRY_COMPARE(permission->text(), u"完全访问"_s);
        QVERIFY(permission->isEnabled());
        test::requireAccessible(m_window.get());
    }

    void aSessionChangeKeepsTheDraftAndDropsTheSwitch()
    {
        const auto first = m_h->openSession(u"s1"_s);
        const auto second = m_h->openSession(u"s2"_s);
        showComposer(first);
        m_h->world.pushProjection(u"s1"_s, u"permissions"_s,
                                  permissionsValue(u"read-only"_s, {u"read-only"_s, u"workspace-write"_s}));
        m_h->host.setReply(u"commands/execute"_s, sim::Reply::never());
        CompactMenuButton *permission = menuButton(u"composer-permission-menu"_s);
        QTRY_VERIFY(!permission->isHidden());
        test::typeText(m_composer->promptField(), u"草稿"_s);
        QMenu *menu = openMenu(permission);
        clickAction(menu, actionNamed(menu, u"工作区写入"_s));
        QTRY_COMPARE(permission->text(), u"切换中"_s);

        m_composer->setSession(second);
        QCOMPARE(m_composer->promptField()->text(), u"草稿"_s);
        QVERIFY(!m_composer->permissionSwitch()->pendingValue());
        QVERIFY(permission->isHidden()); // the second session has no permission state
    }

    void modelPickerListsGroupsAndSelects()
    {
        const auto session = m_h->openSession(u"s1"_s);
        showComposer(session);
        CompactMenuButton *picker = menuButton(u"composer-model-picker"_s);
        QTRY_COMPARE(picker->text(), u"\u2068m1\u2069"_s);
        QMenu *menu = openMenu(picker);
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 2);
        QAction *alpha = actionNamed(menu, u"\u2068Alpha && Co\u2069"_s);
        QVERIFY(alpha && alpha->menu());
        QCOMPARE(actionNamed(alpha->menu(), u"\u2068M1\u2069"_s)->property("symbolName").toString(), u"checkmark"_s);
        QAction *beta = actionNamed(menu, u"\u2068Beta\u2069"_s);
        QVERIFY(!actionNamed(beta->menu(), u"\u2068M1 (beta)\u2069"_s)->property("symbolName").isValid());
        // Open the second provider's submenu and choose its model.
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(beta).center());
        QTRY_VERIFY(beta->menu()->isVisible());
        clickAction(beta->menu(), actionNamed(beta->menu(), u"\u2068M1 (beta)\u2069"_s));
        QTRY_COMPARE(m_h->requestCount(u"session.selectModel"_s), 1);
        const JSONValue payload = m_h->host.requests(u"session.selectModel"_s).first().payload;
        QCOMPARE(payload.find(u"provider"_s)->string(), std::optional<QString>(u"beta"_s));
        QCOMPARE(payload.find(u"model"_s)->string(), std::optional<QString>(u"vendor/m1"_s));
        QVERIFY(!payload.find(u"reasoningEffort"_s));
        test::requireAccessible(m_window.get());
    }

    void modelPickerWithoutACatalogue()
    {
        showComposer(m_h->openSession(u"s2"_s));
        CompactMenuButton *picker = menuButton(u"composer-model-picker"_s);
        QCOMPARE(picker->text(), u"模型"_s);
        QMenu *menu = openMenu(picker);
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions().first()->text(), u"模型目录不可用"_s);
        QVERIFY(!menu->actions().first()->isEnabled());
        menu->close();
    }

    void subagentModeShowsTheChip_data()
    {
        QTest::addColumn<bool>("parentAvailable");
        QTest::newRow("parent available") << true;
        QTest::newRow("parent unavailable") << false;
    }

    void subagentModeShowsTheChip()
    {
        QFETCH(bool, parentAvailable);
        sim::SimWorld::SubagentEntry entry;
        entry.id = u"child-1"_s;
        entry.label = u"审查代理"_s;
        m_h->world.addSession(test::session(u"child-1"_s, 500));
        m_h->world.setSubagents(u"s1"_s, {entry}, parentAvailable);
        const auto parent = m_h->openSession(u"s1"_s);
        showComposer(parent);
        test::typeText(m_composer->promptField(), u"先写好的"_s);
        SubagentListEntry listed;
        listed.kind = u"child"_s;
        listed.id = u"child-1"_s;
        listed.mode = u"continuable"_s;
        listed.label = u"审查代理"_s;
        m_h->store->selection()->selectSubagent(u"s1"_s, listed, parentAvailable);
        QTRY_VERIFY(m_h->store->selection()->selectedSubagent().has_value());
        QWidget *chip = m_composer->findChild<QWidget *>(u"composer-subagent-chip"_s);
        QTRY_VERIFY(chip->isVisible());
        QCOMPARE(chip->toolTip(), m_h->store->selection()->selectedSubagent()->label);
        QVERIFY(menuButton(u"composer-mode-menu"_s)->isHidden());
        QVERIFY(menuButton(u"composer-permission-menu"_s)->isHidden());
        QVERIFY(menuButton(u"composer-model-picker"_s)->isHidden());
        PromptField *field = m_composer->promptField();
        QCOMPARE(field->isEnabled(), parentAvailable);
        QCOMPARE(field->placeholderText(), parentAvailable ? u"继续此子代理"_s : u"父会话当前不可用"_s);
        QCOMPARE(actionButton()->isEnabled(), parentAvailable);
        test::requireAccessible(m_window.get());
    }
};

NBD_GUI_TEST_MAIN(tst_ComposerView)
#include "tst_composerview.moc"
