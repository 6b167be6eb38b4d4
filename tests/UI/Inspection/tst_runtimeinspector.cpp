// The runtime inspector and the run summary bar over a session of the simulated host: what
// they show as the host reports statistics, usage, presets and jobs, the panel picker, the
// event panel, and the summary's click.

#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "InspectionTestSupport.h"
#include "ShownText.h"

#include "Session/SessionModel.h"
#include "UI/Inspection/RuntimeInspectorView.h"
#include "UI/Shared/CardWidgets.h"
#include "UI/Inspection/InspectorMetrics.h"
#include "UI/Inspection/RuntimeSummaryBar.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
#include <QTextBlock>
#include <QTextDocument>
#include <QBoxLayout>
#include <QtTest>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::Literals::StringLiterals;

namespace {

JSONValue statsValue(bool withRates)
{
    sim::SimWorld::RunStats stats;
    stats.turns = 1200;
    stats.steps = 4;
    stats.llmMs = 65000;
    stats.toolMs = 850;
    if (withRates) {
        stats.ttftMs = 1200;
        stats.ttftSteps = 2;
        stats.decodeMs = 2000;
        stats.decodeTokens = 500;
    }
    return sim::SimWorld::sessionStats(stats);
}

JSONValue usageValue(qint64 input, std::optional<qint64> cacheRead, std::optional<qint64> reasoning = {})
{
    return sim::SimWorld::tokenUsage({input, 1234567, cacheRead, reasoning});
}

JSONValue job(const QString &id, const QString &label, const QString &status, std::optional<QString> detail = {})
{
    JSONValue::Members m{{u"id"_s, id},         {u"kind"_s, u"shell"_s},
                         {u"label"_s, label},   {u"status"_s, status},
                         {u"startedAt"_s, JSONValue(1.0)}};
    if (detail)
        m.emplace_back(u"detail"_s, *detail);
    return JSONValue::object(std::move(m));
}

// Section title → list of "label=value" rows, in order.
QMap<QString, QStringList> sections(QWidget *inspector)
{
    QMap<QString, QStringList> out;
    for (QWidget *section : inspector->findChildren<QWidget *>(u"inspector-section"_s)) {
        QStringList rows;
        for (QWidget *row : section->findChildren<QWidget *>(u"inspector-row"_s))
            rows << row->property("rowLabel").toString() + u'=' + row->property("rowValue").toString();
        out.insert(section->property("sectionTitle").toString(), rows);
    }
    return out;
}

QString rowSymbol(QWidget *inspector, const QString &label)
{
    for (QWidget *row : inspector->findChildren<QWidget *>(u"inspector-row"_s)) {
        if (row->property("rowLabel").toString() == label)
            return row->property("symbolName").toString();
    }
    return {};
}

// The host's session "run", connected and opened.
std::shared_ptr<SessionModel> connectedRun(StoreHarness &h)
{
    h.world.addSession(session(u"run"_s, 1));
    h.connected();
    h.waitForStreams();
    return openSession(h, u"run"_s);
}

// An inspector with the panel picker over both panels; the shown panel lives in `panel`, and
// `writes` counts what the picker writes to it.
RuntimeInspectorView *pickerInspector(StoreHarness &h, const std::shared_ptr<SessionModel> &model,
                                      RuntimeInspectorPanel &panel, int &writes)
{
    return new RuntimeInspectorView(
        h.store->sessions(), model,
        Binding<RuntimeInspectorPanel>{[&panel] { return panel; }, [&panel, &writes](RuntimeInspectorPanel p) { panel = p; ++writes; }},
        std::nullopt, true, {RuntimeInspectorPanel::Event, RuntimeInspectorPanel::Runtime});
}

struct Window
{
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    QVBoxLayout *layout = new QVBoxLayout(window.get());

    void show(QSize size = {340, 720})
    {
        window->resize(size);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
};

} // namespace

class TestRuntimeInspector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void runtimePanelFollowsTheHost()
    {
        StoreHarness h;
        auto row = session(u"run"_s, 1);
        row.agentPreset = u"coder"_s;
        h.world.addSession(row);
        h.connected();
        h.waitForStreams();
        const auto model = openSession(h, u"run"_s);
        QVERIFY(model);
        RuntimeInspectorPanel panel = RuntimeInspectorPanel::Runtime;
        Window w;
        auto *inspector = new RuntimeInspectorView(
            h.store->sessions(), model, Binding<RuntimeInspectorPanel>{[&] { return panel; }, [&](RuntimeInspectorPanel p) { panel = p; }},
            std::nullopt, true, {RuntimeInspectorPanel::Runtime, RuntimeInspectorPanel::Event});
        w.layout->addWidget(inspector);
        w.show();
        QCOMPARE(inspector->objectName(), u"session-inspector"_s);

        // Nothing reported yet: only the session section; the preset from the session list.
        auto shown = sections(inspector);
        QCOMPARE(shown.keys(), QStringList{u"会话"_s});
        QCOMPARE(shown[u"会话"_s], (QStringList{u"模式=Agent"_s, u"预设=coder"_s, u"权限=默认"_s}));
        QCOMPARE(rowSymbol(inspector, u"权限"_s), u"checkmark.shield"_s);
        QCOMPARE(inspector->statusText(), u"已就绪"_s);

        // Statistics without rates: exactly four rows.
        h.world.pushProjection(u"run"_s, u"sessionStats"_s, statsValue(false));
        QTRY_VERIFY(sections(inspector).contains(u"轨迹"_s));
        QCOMPARE(sections(inspector)[u"轨迹"_s],
                 (QStringList{u"回合=1,200"_s, u"步骤=4"_s, u"模型耗时=1.1 分"_s, u"工具耗时=850 ms"_s}));
        h.world.pushProjection(u"run"_s, u"sessionStats"_s, statsValue(true));
        QTRY_COMPARE(sections(inspector)[u"轨迹"_s].size(), 6);
        QCOMPARE(sections(inspector)[u"轨迹"_s].mid(4), (QStringList{u"首 token=0.6 秒"_s, u"吞吐=250 tok/s"_s}));

        // Usage: cache read with no input and no cache → no cache row; then 25 %.
        h.world.pushProjection(u"run"_s, u"tokenUsage"_s, usageValue(0, 0));
        QTRY_VERIFY(sections(inspector).contains(u"Token"_s));
        QCOMPARE(sections(inspector)[u"Token"_s], (QStringList{u"输入=0"_s, u"输出=1,234,567"_s}));
        h.world.pushProjection(u"run"_s, u"tokenUsage"_s, usageValue(300, 100, 42));
        QTRY_COMPARE(sections(inspector)[u"Token"_s],
                     (QStringList{u"输入=300"_s, u"输出=1,234,567"_s, u"推理=42"_s, u"缓存命中=25%"_s}));

        // Jobs, each with its mark.
        h.world.pushJobs(u"run"_s, JSONValue::array({job(u"j1"_s, u"Build"_s, u"running"_s),
                                                    job(u"j2"_s, u"Lint"_s, u"failed"_s, u"2 errors"_s),
                                                    job(u"j3"_s, u"Index"_s, u"queued"_s)}));
        QTRY_COMPARE(inspector->findChildren<QWidget *>(u"inspector-job"_s).size(), 3);
        QStringList marks;
        for (QWidget *j : inspector->findChildren<QWidget *>(u"inspector-job"_s))
            marks << j->property("symbolName").toString();
        QCOMPARE(marks, (QStringList{QString(), u"xmark.circle"_s, u"checkmark.circle"_s}));
        QVERIFY(sections(inspector).contains(u"后台活动"_s));

        // Plan mode, the permission preset and a continuable subagent run.
        h.world.pushProjection(u"run"_s, u"plan"_s, JSONValue::object({{u"active"_s, JSONValue(true)}}));
        h.world.pushProjection(
            u"run"_s, u"permissions"_s,
            JSONValue::object({{u"options"_s, JSONValue::array({JSONValue::object(
                                                  {{u"value"_s, u"read-only"_s}, {u"name"_s, u"Read only"_s}})})},
                               {u"current"_s, u"read-only"_s}}));
        h.world.pushProjection(u"run"_s, u"subagent"_s, JSONValue::object({{u"mode"_s, u"continuable"_s}}));
        QTRY_COMPARE(sections(inspector)[u"会话"_s],
                     (QStringList{u"模式=计划"_s, u"预设=coder"_s, u"权限=只读"_s, u"子代理=持续"_s}));
        QCOMPARE(rowSymbol(inspector, u"模式"_s), u"map"_s);
        QCOMPARE(rowSymbol(inspector, u"权限"_s), u"lock"_s);
        h.world.pushProjection(u"run"_s, u"subagent"_s,
                               JSONValue::object({{u"mode"_s, u"one-shot"_s}, {u"label"_s, u"探索"_s}}));
        QTRY_VERIFY(sections(inspector)[u"会话"_s].contains(u"子代理=探索"_s));

        // Running changes the dot and the status text only.
        auto *scroll = inspector->findChild<QScrollArea *>(u"inspector-scroll"_s);
        const QPointer<QWidget> content = scroll->widget();
        model->setRunning(true);
        QCOMPARE(scroll->widget(), content.data());
        QCOMPARE(inspector->statusText(), u"运行中"_s);
        QCOMPARE(inspector->findChild<QLabel *>(u"inspector-status"_s)->text(), u"运行中"_s);
        QCOMPARE(inspector->title(), u"运行概况"_s);
        { const QStringList problems = accessibilityProblems(w.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    // Every control of the inspector (the panel picker's segments, the event panel's) does
    // by its accessibility action what its click does.
    void actionsDoWhatClicksDo()
    {
        StoreHarness h;
        const auto model = connectedRun(h);
        QVERIFY(model);
        RuntimeInspectorPanel panel = RuntimeInspectorPanel::Runtime;
        int writes = 0;
        std::unique_ptr<Window> w;
        RuntimeInspectorView *inspector = nullptr;
        ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            panel = RuntimeInspectorPanel::Runtime;
            writes = 0;
            w = std::make_unique<Window>();
            inspector = pickerInspector(h, model, panel, writes);
            w->layout->addWidget(inspector);
            w->show();
            return w->window.get();
        };
        check.state = [&] {
            return QString::number(int(panel)) + u" writes "_s + QString::number(writes) + u' ' + inspector->title();
        };
        const ActionParityReport report = actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        QVERIFY2(report.controls.size() >= 2, qPrintable(report.controls.join(u'\n')));
        QVERIFY2(report.changed >= 1, qPrintable(report.controls.join(u'\n')));
    }

    void pickerAndEventPanel()
    {
        StoreHarness h;
        const auto model = connectedRun(h);
        QVERIFY(model);
        RuntimeInspectorPanel panel = RuntimeInspectorPanel::Runtime;
        int writes = 0;
        Window w;
        auto *inspector = pickerInspector(h, model, panel, writes);
        w.layout->addWidget(inspector);
        w.show();

        // The segments in the given order, named for screen readers.
        auto *picker = inspector->findChild<QWidget *>(u"inspector-panel-picker"_s);
        QVERIFY(picker);
        const auto segments = picker->findChildren<QAbstractButton *>();
        QCOMPARE(segments.size(), 2);
        QCOMPARE(segments[0]->accessibleName(), u"事件"_s);
        QCOMPARE(segments[1]->accessibleName(), u"运行"_s);
        QVERIFY(segments[1]->isChecked());

        QTest::mouseClick(segments[0], Qt::LeftButton);
        QCOMPARE(panel, RuntimeInspectorPanel::Event);
        QCOMPARE(writes, 1);
        QCOMPARE(inspector->title(), u"事件详情"_s);
        QCOMPARE(inspector->findChild<QLabel *>(u"inspector-title"_s)->text(), u"事件详情"_s);
        auto *hint = inspector->findChild<QLabel *>(u"inspector-event-hint"_s);
        QVERIFY(hint && hint->isVisible());
        QCOMPARE(hint->text(), u"在轨迹中选择一个事件"_s);

        // A failed tool call with arguments and a result.
        TrajectoryEventSelection event;
        event.id = u"turn-2-step-3-block-1"_s;
        event.role = u"TOOL"_s;
        event.title = u"read_file"_s;
        event.turn = 2;
        event.step = 1003;
        event.summary = u"失败 · gone"_s;
        event.payload = u"{\"path\":\"a\"}"_s;
        event.result = u"gone"_s;
        event.isError = true;
        inspector->setEvent(event);
        QCOMPARE(sections(inspector)[u"概览"_s], (QStringList{u"类型=TOOL"_s, u"事件=read_file"_s, u"回合=2"_s,
                                                             u"步骤=1,003"_s, u"状态=失败"_s}));
        QCOMPARE(rowSymbol(inspector, u"状态"_s), u"xmark.circle"_s);
        // Short values ("2") sit whole at the row's trailing edge.
        QApplication::processEvents();
        for (QWidget *row : inspector->findChildren<QWidget *>(u"inspector-row"_s)) {
            auto *value = row->findChild<ElidedLabel *>(u"inspector-row-value"_s);
            QCOMPARE(value->shownText(), value->text());
            QCOMPARE(value->geometry().right(), row->rect().right());
            QCOMPARE(value->width(), Fonts::textWidth(value->font(), value->text()));
        }
        const auto blocks = inspector->findChildren<QWidget *>(u"inspector-event-block"_s);
        QCOMPARE(blocks.size(), 2);
        QCOMPARE(blocks[0]->property("sectionTitle").toString(), u"内容与参数"_s);
        QCOMPARE(blocks[0]->property("isError").toBool(), false);
        QCOMPARE(blocks[1]->property("sectionTitle").toString(), u"结果"_s);
        QCOMPARE(blocks[1]->property("isError").toBool(), true);
        auto *resultText = blocks[1]->findChild<AutoHeightTextView *>(u"inspector-text"_s);
        QCOMPARE(resultText->content()->toPlainText(), u"gone"_s);
        QCOMPARE(resultText->accessibleName(), u"结果"_s);
        QVERIFY(resultText->isReadOnly());
        QVERIFY(resultText->textInteractionFlags() & Qt::TextSelectableByMouse);
        // 5 pt between its lines.
        const QTextBlockFormat spacing = resultText->content()->firstBlock().blockFormat();
        QCOMPARE(spacing.lineHeightType(), int(QTextBlockFormat::LineDistanceHeight));
        QCOMPARE(spacing.lineHeight(), 5.0);

        // A notice's long, two-line text as the title and an argument without a break in it:
        // the panel keeps to its width, the title is cut on one line and the argument wraps.
        auto *scroll = inspector->findChild<QScrollArea *>(u"inspector-scroll"_s);
        const QString noticeText = u"上下文已压缩，"_s.repeated(40) + u"\n第二行"_s;
        const QString token = u"0123456789abcdef"_s.repeated(150); // no break opportunity anywhere
        inspector->setEvent(TrajectoryEventSelection{u"notice-1-n"_s, u"SYSTEM"_s, noticeText, {}, {}, QString(),
                                                     token, {}, false});
        QTRY_VERIFY(scroll->widget()->width() <= scroll->viewport()->width());
        QApplication::processEvents();
        QVERIFY(scroll->widget()->width() <= scroll->viewport()->width());
        for (QWidget *row : scroll->widget()->findChildren<QWidget *>(u"inspector-row"_s)) {
            auto *value = row->findChild<ElidedLabel *>(u"inspector-row-value"_s);
            QVERIFY(value);
            const QRect onScreen(value->mapTo(scroll->viewport(), QPoint()), value->size());
            QVERIFY2(scroll->viewport()->rect().contains(onScreen), qPrintable(row->property("rowLabel").toString()));
            if (row->property("rowLabel").toString() == u"事件"_s) {
                QVERIFY(value->shownText().endsWith(u'…'));
                QVERIFY(!value->shownText().contains(u'\n'));
                QCOMPARE(value->accessibleName(), noticeText);
            }
        }
        auto *argument = scroll->widget()->findChild<AutoHeightTextView *>(u"inspector-text"_s);
        QCOMPARE(argument->content()->toPlainText(), token); // wrapped for the eye, copied whole
        QVERIFY(argument->width() <= scroll->viewport()->width());
        QTRY_VERIFY(argument->height() > 5 * argument->fontMetrics().lineSpacing());
        QVERIFY(argument->height() >= argument->content()->size().height());

        // A user message: no turn or step rows, no result block; an empty payload shows no block.
        event = TrajectoryEventSelection{u"user-1"_s, u"USER"_s, u"用户消息"_s, {}, {}, u"hi"_s, QString(), {}, true};
        inspector->setEvent(event);
        QCOMPARE(sections(inspector)[u"概览"_s],
                 (QStringList{u"类型=USER"_s, u"事件=用户消息"_s, u"状态=失败"_s}));
        QVERIFY(inspector->findChildren<QWidget *>(u"inspector-event-block"_s).isEmpty());

        // What the host streams meanwhile leaves the picked event's panel as it is (a rebuild
        // would drop the reader's selection in its text); the run panel shows it when opened.
        inspector->setEvent(event);
        const QPointer<QWidget> content = scroll->widget();
        h.world.pushProjection(u"run"_s, u"sessionStats"_s, statsValue(true));
        h.world.pushProjection(u"run"_s, u"tokenUsage"_s, usageValue(300, 100));
        h.world.pushJobs(u"run"_s, JSONValue::array({job(u"j1"_s, u"Build"_s, u"running"_s)}));
        h.world.streamEvent(
            u"run"_s, sim::events::draft(u"user/message"_s,
                                         JSONValue::object({{u"id"_s, u"inj-1"_s},
                                                            {u"content"_s, JSONValue::array({JSONValue::object(
                                                                               {{u"type"_s, u"text"_s},
                                                                                {u"text"_s, u"ctx"_s}})})},
                                                            {u"source"_s, JSONValue::object({{u"kind"_s, u"context"_s}})}})));
        QTRY_VERIFY(model->stats() && model->usage() && !model->jobs().empty()
                    && InspectorMetrics::contextInjectionCount(model->items()) == 1);
        QCOMPARE(scroll->widget(), content.data());
        // A run starting changes the session list too; the picked event still stays as it is.
        h.world.pushSessionStatus(u"run"_s, true);
        QTRY_VERIFY(model->running());
        QCOMPARE(inspector->statusText(), u"运行中"_s);
        QCOMPARE(scroll->widget(), content.data());
        segments[1]->click();
        QCOMPARE(panel, RuntimeInspectorPanel::Runtime);
        QTRY_VERIFY(sections(inspector)[u"会话"_s].contains(u"运行上下文=1 条"_s));
        QVERIFY(sections(inspector).contains(u"轨迹"_s));

        // The binding set elsewhere to a panel the picker does not offer still shows it.
        { const QStringList problems = accessibilityProblems(w.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void withoutPicker()
    {
        RuntimeInspectorPanel panel = RuntimeInspectorPanel::Event;
        Window w;
        auto *inspector = new RuntimeInspectorView(nullptr, SessionModel::create(u"x"_s),
                                                   Binding<RuntimeInspectorPanel>{[&] { return panel; }, {}},
                                                   std::nullopt, false, {RuntimeInspectorPanel::Runtime});
        w.layout->addWidget(inspector);
        w.show();
        QVERIFY(!inspector->findChild<QWidget *>(u"inspector-panel-picker"_s));
        // The event panel is shown because the binding says so, not the available panels.
        QVERIFY(inspector->findChild<QLabel *>(u"inspector-event-hint"_s));
        { const QStringList problems = accessibilityProblems(w.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void summaryBar()
    {
        StoreHarness h;
        h.world.addSession(session(u"run"_s, 1));
        h.connected();
        h.waitForStreams();
        const auto model = openSession(h, u"run"_s);
        QVERIFY(model);
        int clicks = 0;
        Window w;
        auto *bar = new RuntimeSummaryBar(model, [&] { ++clicks; });
        w.layout->addWidget(bar);
        w.show({900, 80});
        QVERIFY(bar->segments().empty());

        h.world.pushProjection(u"run"_s, u"tokenUsage"_s, usageValue(300, {}));
        QTRY_COMPARE(bar->segments(), std::vector<QString>{u"输入 300 · 输出 1,235k"_s});
        QCOMPARE(shownToolTip(bar->toolTip()).contains(u"输入 300 · 输出 1,235k"_s), true);
        h.world.pushProjection(u"run"_s, u"sessionStats"_s, statsValue(true));
        h.world.pushProjection(u"run"_s, u"tokenUsage"_s, usageValue(300, 100));
        QTRY_COMPARE(bar->segments().size(), size_t(5));
        QCOMPARE(bar->segments(), (std::vector<QString>{u"1,200 轮 · 4 步"_s, u"LLM 1m5s · 工具调用 0s"_s,
                                                        u"首 token 平均 0.6s · 250 tok/s"_s, u"缓存命中 25%"_s,
                                                        u"输入 300 · 输出 1,235k"_s}));
        QCOMPARE(bar->accessibleName(), u"1,200 轮 · 4 步 | LLM 1m5s · 工具调用 0s | 首 token 平均 0.6s · 250 tok/s | "
                                        u"缓存命中 25% | 输入 300 · 输出 1,235k"_s);
        // Wide enough, every segment is shown whole between separators.
        const auto texts = [](const std::vector<RuntimeSummaryBar::Piece> &pieces) {
            QStringList out;
            for (const auto &piece : pieces)
                out << piece.text;
            return out;
        };
        const QStringList whole{u"1,200 轮 · 4 步"_s, u"|"_s, u"LLM 1m5s · 工具调用 0s"_s, u"|"_s,
                                u"首 token 平均 0.6s · 250 tok/s"_s, u"|"_s, u"缓存命中 25%"_s, u"|"_s,
                                u"输入 300 · 输出 1,235k"_s};
        QTRY_COMPARE(texts(bar->lineLayout()), whole);
        // ... and so at exactly its own size: widths rounded to the pixel must not cut the
        // last letters of a segment that fits.
        RuntimeSummaryBar loose(model, {});
        loose.resize(loose.sizeHint());
        QCOMPARE(texts(loose.lineLayout()), whole);
        // Narrower, the line is cut at its end: with an ellipsis, never on a bare separator,
        // and never past the padding.
        for (int width = loose.minimumSizeHint().width(); width < loose.sizeHint().width(); width += 3) {
            loose.resize(width, 24);
            const auto pieces = loose.lineLayout();
            const QStringList shown = texts(pieces);
            QVERIFY2(shown.isEmpty() || shown.constLast() != u"|"_s, qPrintable(QString::number(width)));
            QVERIFY2(shown.isEmpty() || shown.constLast().isEmpty() || shown.constLast().endsWith(u'…'), qPrintable(shown.join(u'/')));
            for (qsizetype i = 0; i + 1 < shown.size(); ++i)
                QCOMPARE(shown[i], whole[i]);
            for (const auto &piece : pieces)
                QVERIFY(piece.x >= RuntimeSummaryBar::kSidePadding);
        }

        // A narrow window cuts the line, not the tooltip.
        w.window->resize(300, 80);
        QTRY_VERIFY(bar->width() <= 300);
        QVERIFY(shownToolTip(bar->toolTip()).contains(u"输入 300 · 输出 1,235k"_s));

        QTest::mouseClick(bar, Qt::LeftButton);
        QCOMPARE(clicks, 1);
        bar->setFocus();
        QTest::keyClick(bar, Qt::Key_Space);
        QCOMPARE(clicks, 2);
        { const QStringList problems = accessibilityProblems(w.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }
};

NBD_GUI_TEST_MAIN(TestRuntimeInspector)
#include "tst_runtimeinspector.moc"
