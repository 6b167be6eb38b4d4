#include "UI/Inspection/RuntimeInspectorView.h"

#include "Session/SessionModel.h"
#include "Store/SessionDirectory.h"
#include "UI/Shared/CardWidgets.h"
#include "UI/Inspection/InspectorMetrics.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const QString kRuntimeTitle = u"运行概况"_s;
const QString kRunningText = u"运行中"_s;

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    widget->setPalette(p);
}

QLabel *plainLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    setTextColor(label, color);
    return label;
}

// A full-width line of one colour.
class Rule : public QWidget
{
public:
    explicit Rule(QWidget *parent)
        : QWidget(parent)
    {
        setFixedHeight(1);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Theme::hairline());
    }
};

// The status dot of the header.
class Dot : public QWidget
{
public:
    explicit Dot(QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(6, 6);
    }
    void setColor(const QColor &color)
    {
        m_color = color;
        update();
    }
    QColor color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_color);
        painter.drawEllipse(QRectF(rect()));
    }

private:
    QColor m_color;
};

// One segment of the panel picker.
class Segment : public QAbstractButton
{
public:
    Segment(const QString &title, QWidget *parent)
        : QAbstractButton(parent)
    {
        setText(title);
        setAccessibleName(title);
        setCheckable(true);
        setFont(Fonts::system(11));
        setFocusPolicy(Qt::TabFocus);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setFixedHeight(22);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isChecked()) {
            painter.setPen(QPen(Theme::hairline(), 1));
            painter.setBrush(Theme::raised());
            painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 5, 5);
        }
        painter.setPen(isChecked() ? Theme::primaryText() : Theme::secondaryText());
        painter.setFont(font());
        painter.drawText(rect(), Qt::AlignCenter, text());
        if (hasFocus()) {
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(Theme::brand(), 1));
            painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 5, 5);
        }
    }
};

// The track behind the segments.
class SegmentTrack : public QWidget
{
public:
    explicit SegmentTrack(QWidget *parent)
        : QWidget(parent)
    {
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::inset());
        painter.drawRoundedRect(QRectF(rect()), 6, 6);
    }
};

// A block of monospaced text on an inset rounded rectangle.
class TextBlock : public QWidget
{
public:
    TextBlock(const QString &text, bool isError, const QString &title, QWidget *parent)
        : QWidget(parent)
    {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(16, 16, 16, 16);
        // Selectable, as tall as its lines; long tokens (paths, compact JSON) wrap anywhere
        // instead of running out of sight.
        m_text = new AutoHeightTextView(this);
        m_text->setObjectName(u"inspector-text"_s);
        m_text->setPlain(text, Fonts::monospaced(13), isError ? std::optional(Theme::systemRed()) : std::nullopt);
        m_text->setAccessibleName(title);
        // 5 pt between lines; the document is not laid out until the block knows its width.
        QTextCursor all(m_text->content());
        all.select(QTextCursor::Document);
        QTextBlockFormat spaced;
        spaced.setLineHeight(5, QTextBlockFormat::LineDistanceHeight);
        all.mergeBlockFormat(spaced);
        layout->addWidget(m_text);
        QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::inset());
        painter.drawRoundedRect(QRectF(rect()), 12, 12);
    }

private:
    AutoHeightTextView *m_text;
};

QWidget *inspectorRow(const QString &label, const QString &value, const QString &icon, QWidget *parent)
{
    auto *row = new QWidget(parent);
    row->setObjectName(u"inspector-row"_s);
    row->setProperty("rowLabel", label);
    row->setProperty("rowValue", value);
    row->setProperty("symbolName", icon);
    row->setMinimumHeight(24);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(9);
    auto *iconView = new IconView(icon, 12, row);
    iconView->setFixedWidth(16);
    iconView->setTint(Theme::secondaryText());
    layout->addWidget(iconView);
    layout->addWidget(plainLabel(label, Fonts::system(12), Theme::secondaryText(), row));
    layout->addStretch(1);
    layout->addSpacing(8);
    // One line, cut at its end: a long value (a notice's whole text as the event's title) must
    // not widen the panel past its edge and push every other value out of sight.
    auto *valueLabel = new ElidedLabel(value, Qt::ElideRight, row);
    valueLabel->setFont(Fonts::system(12, QFont::Medium));
    valueLabel->setColor([] { return Theme::primaryText(); });
    valueLabel->setObjectName(u"inspector-row-value"_s);
    layout->addWidget(valueLabel);
    return row;
}

// A titled section: title, the rows 12 pt apart, then a divider.
QWidget *inspectorSection(const QString &title, const std::vector<QWidget *> &rows, QWidget *parent)
{
    auto *section = new QWidget(parent);
    section->setObjectName(u"inspector-section"_s);
    section->setProperty("sectionTitle", title);
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(plainLabel(title, Fonts::system(11, QFont::Medium), Theme::tertiaryText(), section));
    auto *body = new QVBoxLayout;
    body->setSpacing(4);
    auto *column = new QVBoxLayout;
    column->setSpacing(12);
    for (QWidget *row : rows) {
        row->setParent(section);
        column->addWidget(row);
    }
    body->addLayout(column);
    body->addWidget(new Rule(section));
    layout->addLayout(body);
    return section;
}

QWidget *eventSection(const QString &title, const QString &text, bool isError, QWidget *parent)
{
    auto *section = new QWidget(parent);
    section->setObjectName(u"inspector-event-block"_s);
    section->setProperty("sectionTitle", title);
    section->setProperty("isError", isError);
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(plainLabel(title, Fonts::system(11, QFont::Medium), Theme::tertiaryText(), section));
    layout->addWidget(new TextBlock(text, isError, title, section));
    layout->addWidget(new Rule(section));
    return section;
}

QWidget *jobRow(const JobView &job, QWidget *parent)
{
    auto *row = new QWidget(parent);
    row->setObjectName(u"inspector-job"_s);
    row->setProperty("jobId", job.id);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(9);
    QWidget *mark = nullptr;
    if (job.status == u"running") {
        mark = new Spinner(11, row);
        mark->setAccessibleName(u"进行中"_s);
        row->setProperty("symbolName", QString());
    } else {
        const bool failed = job.status == u"failed";
        const QString symbol = failed ? u"xmark.circle"_s : u"checkmark.circle"_s;
        auto *icon = new IconView(symbol, 11, row);
        icon->setTint(failed ? Theme::systemRed() : Theme::secondaryText());
        row->setProperty("symbolName", symbol);
        mark = icon;
    }
    layout->addWidget(mark, 0, Qt::AlignTop);
    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    auto *label = new ClampedLabel(job.label, Fonts::system(12, QFont::Medium), [] { return Theme::primaryText(); },
                                   std::numeric_limits<int>::max(), row);
    label->setObjectName(u"inspector-job-label"_s);
    column->addWidget(label);
    if (job.detail) {
        auto *detail = new ClampedLabel(*job.detail, Fonts::system(10), [] { return Theme::tertiaryText(); }, 2, row);
        detail->setObjectName(u"inspector-job-detail"_s);
        column->addWidget(detail);
    }
    layout->addLayout(column, 1);
    return row;
}

} // namespace

RuntimeInspectorView::RuntimeInspectorView(SessionDirectory *directory, std::shared_ptr<SessionModel> session,
                                           Binding<RuntimeInspectorPanel> selectedPanel,
                                           std::optional<TrajectoryEventSelection> event, bool showsPanelPicker,
                                           std::vector<RuntimeInspectorPanel> availablePanels, QWidget *parent)
    : QWidget(parent)
    , m_directory(directory)
    , m_session(std::move(session))
    , m_selectedPanel(std::move(selectedPanel))
    , m_event(std::move(event))
    , m_showsPanelPicker(showsPanelPicker)
    , m_availablePanels(std::move(availablePanels))
    , m_title(plainLabel(QString(), Fonts::system(14, QFont::Medium), Theme::primaryText(), this))
    , m_dot(new Dot(this))
    , m_status(plainLabel(QString(), Fonts::system(10), Theme::secondaryText(), this))
    , m_picker(nullptr)
    , m_scroll(new QScrollArea(this))
{
    setObjectName(u"session-inspector"_s);
    m_title->setObjectName(u"inspector-title"_s);
    m_status->setObjectName(u"inspector-status"_s);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Header: title, and the status line under it.
    auto *header = new QWidget(this);
    auto *headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(12, 14, 12, 12);
    headerLayout->setSpacing(2);
    m_title->setParent(header);
    headerLayout->addWidget(m_title);
    auto *statusRow = new QHBoxLayout;
    statusRow->setSpacing(5);
    m_dot->setParent(header);
    m_status->setParent(header);
    statusRow->addWidget(m_dot);
    statusRow->addWidget(m_status);
    statusRow->addStretch(1);
    headerLayout->addLayout(statusRow);
    layout->addWidget(header);
    layout->addWidget(new Rule(this)); // over the header's bottom edge

    if (m_showsPanelPicker) {
        m_picker = new QWidget(this);
        m_picker->setObjectName(u"inspector-panel-picker"_s);
        m_picker->setAccessibleName(u"检查器"_s);
        auto *pickerLayout = new QHBoxLayout(m_picker);
        pickerLayout->setContentsMargins(12, 0, 12, 10);
        auto *track = new SegmentTrack(m_picker);
        auto *trackLayout = new QHBoxLayout(track);
        trackLayout->setContentsMargins(0, 0, 0, 0);
        trackLayout->setSpacing(0);
        auto *group = new QButtonGroup(this);
        group->setExclusive(true);
        m_segmentGroup = group;
        for (RuntimeInspectorPanel panel : m_availablePanels) {
            auto *segment = new Segment(panel == RuntimeInspectorPanel::Event ? u"事件"_s : u"运行"_s, track);
            segment->setObjectName(u"inspector-panel-"_s + rawValue(panel));
            group->addButton(segment);
            trackLayout->addWidget(segment);
            m_segments.push_back(segment);
            // Checked however it happens (a click, a key, the accessibility action): that
            // panel is shown. The ticks the view sets itself agree with the shown panel.
            connect(segment, &QAbstractButton::toggled, this, [this, panel](bool checked) {
                if (!checked || shownPanel() == panel)
                    return;
                if (m_selectedPanel.set)
                    m_selectedPanel.set(panel);
                refresh();
            });
        }
        pickerLayout->addWidget(track);
        layout->addWidget(m_picker);
    }
    layout->addWidget(new Rule(this));

    m_scroll->setObjectName(u"inspector-scroll"_s);
    m_scroll->setAccessibleName(title());
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    {
        QPalette p = m_scroll->palette();
        p.setColor(QPalette::Window, Theme::canvas());
        m_scroll->setPalette(p);
        m_scroll->viewport()->setAutoFillBackground(false);
    }
    layout->addWidget(m_scroll, 1);

    if (m_directory)
        // The session list only feeds the run panel's preset; it changes at every run start and end.
        connect(m_directory, &SessionDirectory::sessionsChanged, this,
                &RuntimeInspectorView::refreshRuntime);
    connectSession();
    refresh();
}

void RuntimeInspectorView::connectSession()
{
    for (const auto &c : m_sessionConnections)
        disconnect(c);
    m_sessionConnections.clear();
    if (!m_session)
        return;
    SessionModel *s = m_session.get();
    // Running or not shows in the header alone.
    m_sessionConnections.push_back(connect(s, &SessionModel::runningChanged, this, &RuntimeInspectorView::refreshHeader));
    for (auto signal : {&SessionModel::planActiveChanged, &SessionModel::agentPresetChanged,
                        &SessionModel::permissionPresetChanged, &SessionModel::sandboxModeChanged,
                        &SessionModel::subagentModeChanged, &SessionModel::subagentLabelChanged,
                        &SessionModel::statsChanged, &SessionModel::usageChanged, &SessionModel::jobsChanged})
        m_sessionConnections.push_back(connect(s, signal, this, &RuntimeInspectorView::refreshRuntime));
    // The transcript streams; only its count of injected context matters here.
    m_sessionConnections.push_back(connect(s, &SessionModel::itemsChanged, this, [this] {
        if (shownPanel() != RuntimeInspectorPanel::Runtime || !m_session)
            return; // counted when the run panel is drawn
        if (InspectorMetrics::contextInjectionCount(m_session->items()) != m_shownInjections)
            rebuildContent();
    }));
}

void RuntimeInspectorView::setSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session)
        return;
    m_session = std::move(session);
    connectSession();
    refresh();
}

void RuntimeInspectorView::setEvent(std::optional<TrajectoryEventSelection> event)
{
    if (event == m_event)
        return;
    m_event = std::move(event);
    refresh();
}

QString RuntimeInspectorView::title() const
{
    const RuntimeInspectorPanel panel = m_selectedPanel.get ? m_selectedPanel.get() : RuntimeInspectorPanel::Runtime;
    return panel == RuntimeInspectorPanel::Event ? u"事件详情"_s : kRuntimeTitle;
}

QString RuntimeInspectorView::statusText() const
{
    return m_session && m_session->running() ? kRunningText : u"已就绪"_s;
}

RuntimeInspectorPanel RuntimeInspectorView::shownPanel() const
{
    return m_selectedPanel.get ? m_selectedPanel.get() : RuntimeInspectorPanel::Runtime;
}

void RuntimeInspectorView::refreshHeader()
{
    const RuntimeInspectorPanel panel = shownPanel();
    m_title->setText(title());
    m_scroll->setAccessibleName(title());
    const bool running = m_session && m_session->running();
    static_cast<Dot *>(m_dot)->setColor(running ? Theme::brand() : Theme::success());
    m_dot->setProperty("running", running);
    m_status->setText(statusText());
    // A bound panel the picker does not offer leaves no segment on: an exclusive group would
    // keep the last one checked.
    if (m_segmentGroup)
        m_segmentGroup->setExclusive(false);
    for (size_t i = 0; i < m_segments.size(); ++i)
        m_segments[i]->setChecked(m_availablePanels[i] == panel);
    if (m_segmentGroup)
        m_segmentGroup->setExclusive(true);
}

void RuntimeInspectorView::refreshRuntime()
{
    if (shownPanel() == RuntimeInspectorPanel::Runtime)
        rebuildContent();
}

void RuntimeInspectorView::refresh()
{
    refreshHeader();
    rebuildContent();
}

void RuntimeInspectorView::rebuildContent()
{
    const RuntimeInspectorPanel panel = shownPanel();
    const int scrolled = m_scroll->widget() ? m_scroll->verticalScrollBar()->value() : 0;
    auto *content = new QWidget;
    content->setObjectName(panel == RuntimeInspectorPanel::Event ? u"inspector-event-panel"_s
                                                                 : u"inspector-runtime-panel"_s);
    content->setAutoFillBackground(false);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(16, 14, 16, 14);
    column->setSpacing(16);
    if (panel == RuntimeInspectorPanel::Event)
        buildEvent(column);
    else
        buildRuntime(column);
    column->addStretch(1);
    delete m_scroll->takeWidget();
    m_scroll->setWidget(content);
    m_scroll->verticalScrollBar()->setValue(scrolled);
}

void RuntimeInspectorView::buildRuntime(QVBoxLayout *column)
{
    QWidget *content = column->parentWidget();
    if (!m_session)
        return;
    const SessionModel &s = *m_session;
    using namespace InspectorMetrics;

    std::vector<QWidget *> rows;
    rows.push_back(inspectorRow(u"模式"_s, s.planActive() ? u"计划"_s : u"Agent"_s,
                                s.planActive() ? u"map"_s : u"terminal"_s, content));
    std::optional<QString> preset = s.agentPreset();
    if (!preset && m_directory) {
        for (const SessionSummary &summary : m_directory->sessions()) {
            if (summary.sessionId == s.sessionId()) {
                preset = summary.agentPreset;
                break;
            }
        }
    }
    rows.push_back(inspectorRow(u"预设"_s, preset.value_or(u"默认"_s), u"person.crop.circle"_s, content));
    rows.push_back(inspectorRow(u"权限"_s, permissionLabel(s.permissionPreset(), s.sandboxMode()),
                                permissionIcon(s.permissionPreset(), s.sandboxMode()), content));
    m_shownInjections = contextInjectionCount(s.items());
    if (const qint64 injections = m_shownInjections; injections > 0)
        rows.push_back(inspectorRow(u"运行上下文"_s, QString::number(injections) + u" 条"_s, u"curlybraces.square"_s,
                                    content));
    if (s.subagentMode()) {
        const QString value = s.subagentLabel()
            ? *s.subagentLabel()
            : (*s.subagentMode() == u"continuable" ? u"持续"_s : u"单次"_s);
        rows.push_back(inspectorRow(u"子代理"_s, value, u"arrow.triangle.branch"_s, content));
    }
    column->addWidget(inspectorSection(u"会话"_s, rows, content));

    if (const auto &stats = s.stats()) {
        rows.clear();
        rows.push_back(inspectorRow(u"回合"_s, integer(stats->turns), u"arrow.triangle.2.circlepath"_s, content));
        rows.push_back(inspectorRow(u"步骤"_s, integer(stats->steps), u"list.number"_s, content));
        rows.push_back(inspectorRow(u"模型耗时"_s, duration(stats->llmMs), u"brain"_s, content));
        rows.push_back(inspectorRow(u"工具耗时"_s, duration(stats->toolMs), u"wrench.and.screwdriver"_s, content));
        if (const auto ttft = averageTTFT(*stats))
            rows.push_back(inspectorRow(u"首 token"_s, *ttft, u"bolt"_s, content));
        if (const auto rate = throughput(*stats))
            rows.push_back(inspectorRow(u"吞吐"_s, *rate, u"speedometer"_s, content));
        column->addWidget(inspectorSection(u"轨迹"_s, rows, content));
    }

    if (const auto &usage = s.usage()) {
        rows.clear();
        rows.push_back(inspectorRow(u"输入"_s, integer(usage->inputTokens), u"arrow.down"_s, content));
        rows.push_back(inspectorRow(u"输出"_s, integer(usage->outputTokens), u"arrow.up"_s, content));
        if (usage->reasoningTokens)
            rows.push_back(inspectorRow(u"推理"_s, integer(*usage->reasoningTokens), u"lightbulb"_s, content));
        if (const auto hit = cacheHitRate(*usage))
            rows.push_back(inspectorRow(u"缓存命中"_s, *hit, u"internaldrive"_s, content));
        column->addWidget(inspectorSection(u"Token"_s, rows, content));
    }

    if (!s.jobs().empty()) {
        rows.clear();
        for (const JobView &job : s.jobs())
            rows.push_back(jobRow(job, content));
        column->addWidget(inspectorSection(u"后台活动"_s, rows, content));
    }
}

void RuntimeInspectorView::buildEvent(QVBoxLayout *column)
{
    QWidget *content = column->parentWidget();
    if (!m_event) {
        auto *hint = plainLabel(u"在轨迹中选择一个事件"_s, Fonts::system(12), Theme::tertiaryText(), content);
        hint->setObjectName(u"inspector-event-hint"_s);
        column->addWidget(hint);
        return;
    }
    const TrajectoryEventSelection &e = *m_event;
    std::vector<QWidget *> rows;
    rows.push_back(inspectorRow(u"类型"_s, e.role, u"tag"_s, content));
    rows.push_back(inspectorRow(u"事件"_s, e.title, u"list.bullet.rectangle"_s, content));
    if (e.turn)
        rows.push_back(inspectorRow(u"回合"_s, InspectorMetrics::integer(*e.turn), u"arrow.triangle.2.circlepath"_s,
                                    content));
    if (e.step)
        rows.push_back(inspectorRow(u"步骤"_s, InspectorMetrics::integer(*e.step), u"list.number"_s, content));
    rows.push_back(inspectorRow(u"状态"_s, e.isError ? u"失败"_s : u"完成"_s,
                                e.isError ? u"xmark.circle"_s : u"checkmark.circle"_s, content));
    column->addWidget(inspectorSection(u"概览"_s, rows, content));
    if (e.payload && !e.payload->isEmpty())
        column->addWidget(eventSection(u"内容与参数"_s, *e.payload, false, content));
    if (e.result && !e.result->isEmpty())
        column->addWidget(eventSection(u"结果"_s, *e.result, e.isError, content));
}

void RuntimeInspectorView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
