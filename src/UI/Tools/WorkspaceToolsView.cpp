#include "UI/Tools/WorkspaceToolsView.h"

#include "Store/AppModel.h"
#include "Session/SessionModel.h"
#include "UI/Inspection/RuntimeInspectorView.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PlaceholderSupport.h"
#include "UI/Shared/Theme.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// A flat text button with a symbol: tab titles and launcher entries.
class ToolChip : public QAbstractButton
{
public:
    ToolChip(const QString &symbol, const QString &title, bool selected, QWidget *parent)
        : QAbstractButton(parent)
        , m_symbol(symbol)
        , m_selected(selected)
    {
        setText(title);
        setFont(Fonts::callout());
        setFocusPolicy(Qt::NoFocus);
        setProperty("symbolName", symbol);
        setAccessibleName(title);
    }
    QSize sizeHint() const override
    {
        return {QFontMetrics(font()).horizontalAdvance(text()) + 36, 26};
    }

protected:
    void enterEvent(QEnterEvent *) override { m_hovered = true; update(); }
    void leaveEvent(QEvent *) override { m_hovered = false; update(); }
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (m_selected || m_hovered) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::selection());
            painter.drawRoundedRect(QRectF(rect()), 6, 6);
        }
        const QColor fg = m_selected ? Theme::brand() : Theme::secondaryText();
        Icons::paint(&painter, QRectF(8, (height() - 14) / 2.0, 14, 14), m_symbol, fg);
        painter.setPen(m_selected ? Theme::primaryText() : Theme::secondaryText());
        painter.setFont(font());
        painter.drawText(rect().adjusted(28, 0, -6, 0), Qt::AlignLeft | Qt::AlignVCenter, text());
    }

private:
    QString m_symbol;
    bool m_selected;
    bool m_hovered = false;
};

} // namespace

WorkspaceToolsView::WorkspaceToolsView(AppModel *appModel, Binding<WorkspaceToolTabState> tabState,
                                       Binding<RuntimeInspectorPanel> inspectorPanel, Actions actions, QWidget *parent)
    : QWidget(parent)
    , m_appModel(appModel)
    , m_tabState(std::move(tabState))
    , m_inspectorPanel(std::move(inspectorPanel))
    , m_actions(std::move(actions))
    , m_tabStrip(new QWidget(this))
    , m_tabLayout(new QHBoxLayout(m_tabStrip))
    , m_launcher(new QWidget(this))
    , m_surface(new PlaceholderSurface(u"工作区工具（占位）"_s, PlaceholderSurface::Fill::None, this))
{
    setObjectName(u"workspace-tools"_s);
    m_tabLayout->setContentsMargins(8, 8, 8, 4);
    m_tabLayout->setSpacing(4);

    auto *launcherLayout = new QVBoxLayout(m_launcher);
    launcherLayout->setContentsMargins(12, 12, 12, 12);
    launcherLayout->setSpacing(4);
    for (WorkspaceTool tool : {WorkspaceTool::SessionInspector, WorkspaceTool::Review, WorkspaceTool::Terminal,
                               WorkspaceTool::Browser, WorkspaceTool::Files, WorkspaceTool::SideChat}) {
        auto *chip = new ToolChip(workspaceToolSymbol(tool), workspaceToolTitle(tool), false, m_launcher);
        chip->setObjectName(u"workspace-launcher-"_s + QString::number(int(tool)));
        connect(chip, &QAbstractButton::clicked, this, [this, tool] {
            if (m_actions.onOpenTool)
                m_actions.onOpenTool(tool);
        });
        launcherLayout->addWidget(chip);
    }

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_tabStrip);
    layout->addWidget(m_launcher);
    layout->addWidget(m_surface, 1);
    if (m_appModel) {
        connect(m_appModel, &AppModel::selectedSessionIdChanged, this, &WorkspaceToolsView::refresh);
        connect(m_appModel, &AppModel::sessionModelsChanged, this, &WorkspaceToolsView::refresh);
    }
    refresh();
}

void WorkspaceToolsView::setRootURL(const QUrl &rootURL)
{
    m_rootURL = rootURL;
    refresh();
}

void WorkspaceToolsView::setInspectorEvent(std::optional<TrajectoryEventSelection> event)
{
    m_inspectorEvent = std::move(event);
}

void WorkspaceToolsView::setTerminalVisible(bool visible)
{
    m_terminalVisible = visible;
}

void WorkspaceToolsView::setSideChatRuntimes(const QHash<QUuid, WorkspaceSideChatRuntime> &runtimes)
{
    m_sideChatRuntimes = runtimes;
}

void WorkspaceToolsView::refresh()
{
    const WorkspaceToolTabState state = m_tabState.get ? m_tabState.get() : WorkspaceToolTabState{};
    while (QLayoutItem *item = m_tabLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const WorkspaceToolTab &tab : state.tabs) {
        auto *chip = new ToolChip(workspaceToolSymbol(tab.tool), workspaceToolTitle(tab.tool),
                                  state.selectedTabID == tab.id, m_tabStrip);
        chip->setObjectName(u"workspace-tab"_s);
        const QUuid id = tab.id;
        connect(chip, &QAbstractButton::clicked, this, [this, id] {
            if (!m_tabState.get || !m_tabState.set)
                return;
            WorkspaceToolTabState s = m_tabState.get();
            s.selectedTabID = id;
            m_tabState.set(s);
        });
        m_tabLayout->addWidget(chip);
        auto *close = new ChromeIconButton(u"xmark"_s, u"关闭"_s, std::nullopt, [this, id] {
            if (m_actions.onCloseTab)
                m_actions.onCloseTab(id);
        }, m_tabStrip);
        close->setObjectName(u"workspace-tab-close"_s);
        m_tabLayout->addWidget(close);
    }
    m_tabLayout->addStretch(1);
    auto *launcherButton = new ChromeIconButton(u"plus"_s, u"打开工具"_s, std::nullopt, [this] {
        if (!m_tabState.get || !m_tabState.set)
            return;
        WorkspaceToolTabState s = m_tabState.get();
        s.showLauncher();
        m_tabState.set(s);
    }, m_tabStrip);
    launcherButton->setObjectName(u"workspace-show-launcher"_s);
    m_tabLayout->addWidget(launcherButton);

    const WorkspaceToolTab *selected = state.selectedTabID ? state.find(*state.selectedTabID) : nullptr;
    m_launcher->setVisible(!selected);
    const bool inspecting = selected && selected->tool == WorkspaceTool::SessionInspector;
    if (inspecting) {
        const auto session = m_appModel ? m_appModel->selectedSession() : nullptr;
        if (!m_inspector) {
            m_inspector = new RuntimeInspectorView(m_appModel, session, m_inspectorPanel, m_inspectorEvent, true,
                                                   {RuntimeInspectorPanel::Runtime, RuntimeInspectorPanel::Event}, this);
            static_cast<QVBoxLayout *>(layout())->insertWidget(layout()->indexOf(m_surface), m_inspector, 1);
        }
        m_inspector->setSession(session);
        m_inspector->setEvent(m_inspectorEvent);
        m_inspector->refresh();
    }
    if (m_inspector)
        m_inspector->setVisible(inspecting);
    m_surface->setVisible(!inspecting);
    if (inspecting)
        return;
    if (!selected) {
        m_surface->setDetail(m_rootURL.isLocalFile() ? m_rootURL.toLocalFile() : QString());
        return;
    }
    QString detail = workspaceToolTitle(selected->tool);
    if (selected->browserStartURL)
        detail += u"\n"_s + selected->browserStartURL->toDisplayString();
    if (selected->requestedFileURL)
        detail += u"\n"_s + selected->requestedFileURL->toDisplayString(QUrl::PreferLocalFile);
    if (selected->tool == WorkspaceTool::SideChat) {
        const auto runtime = m_sideChatRuntimes.value(selected->id);
        if (runtime.loading)
            detail += u"\n正在创建侧边会话…"_s;
        else if (runtime.creationError)
            detail += u"\n"_s + *runtime.creationError;
        else if (runtime.session)
            detail += u"\n"_s + runtime.session->sessionId();
    }
    m_surface->setDetail(detail);
}

void WorkspaceToolsView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
