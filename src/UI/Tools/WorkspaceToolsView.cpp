#include "UI/Tools/WorkspaceToolsView.h"

#include "Session/SessionModel.h"
#include "Store/Interactions.h"
#include "Store/SessionActions.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "UI/Inspection/RuntimeInspectorView.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/LazyIcon.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/ToolChrome.h"
#include "UI/Tools/WorkspaceBrowserView.h"
#include "UI/Tools/WorkspaceFileBrowserView.h"
#include "UI/Tools/WorkspaceReviewView.h"
#include "UI/Tools/WorkspaceSideChatView.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QScrollArea>
#include <QStackedLayout>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// One launcher row: the tool's icon, label and shortcut, the whole row clickable.
class LauncherRow : public QAbstractButton
{
public:
    LauncherRow(WorkspaceTool tool, QWidget *parent)
        : QAbstractButton(parent)
        , m_tool(tool)
    {
        setObjectName(u"workspace-tool-"_s + workspaceToolRawValue(tool));
        setText(workspaceToolLabel(tool));
        setAccessibleName(workspaceToolLabel(tool));
        setFixedHeight(52);
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        setProperty("symbolName", workspaceToolIcon(tool));
        setHelp(false);
    }

    void setHelp(bool terminalVisible)
    {
        const QString help = m_tool == WorkspaceTool::Terminal && terminalVisible ? u"隐藏终端"_s
                                                                                  : u"打开"_s + workspaceToolLabel(m_tool);
        setToolTip(plainToolTip(help));
        setAccessibleDescription(help);
    }

    QSize sizeHint() const override { return {240, 52}; }

protected:
    void enterEvent(QEnterEvent *) override { m_hovered = true; update(); }
    void leaveEvent(QEvent *) override { m_hovered = false; update(); }
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isDown() || m_hovered || hasFocus()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(isDown() ? Theme::selection() : Theme::hover());
            painter.drawRoundedRect(QRectF(rect()), 7, 7);
        }
        const qreal x = 10;
        Icons::paint(&painter, QRectF(x + 3, (height() - 18) / 2.0, 18, 18), workspaceToolIcon(m_tool), Theme::secondaryText());
        painter.setFont(Fonts::system(14));
        painter.setPen(Theme::primaryText());
        painter.drawText(QRectF(x + 24 + 14, 0, width() - x - 38, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
        if (const auto shortcut = workspaceToolShortcut(m_tool)) {
            const QFont font = Fonts::system(10, QFont::Medium);
            const QFontMetrics fm(font);
            const qreal w = fm.horizontalAdvance(*shortcut) + 14;
            const QRectF capsule(width() - 10 - w, (height() - 20) / 2.0, w, 20);
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::inset());
            painter.drawRoundedRect(capsule, 10, 10);
            painter.setFont(font);
            painter.setPen(Theme::tertiaryText());
            painter.drawText(capsule, Qt::AlignCenter, *shortcut);
        }
    }

private:
    WorkspaceTool m_tool;
    bool m_hovered = false;
};

// The select part of a tab: the tool's icon and the tab's title.
class TabSelectButton : public QAbstractButton
{
public:
    TabSelectButton(const WorkspaceToolTab &tab, bool selected, QWidget *parent)
        : QAbstractButton(parent)
        , m_symbol(workspaceToolIcon(tab.tool))
        , m_selected(selected)
    {
        setText(tab.title());
        setAccessibleName(tab.title());
        setCheckable(true);
        setChecked(selected);
        setFocusPolicy(Qt::StrongFocus);
        setFont(Fonts::system(11, selected ? QFont::DemiBold : QFont::Normal));
        setToolTip(plainToolTip(tab.title()));
        Accessibility::describe(this, QAccessible::PageTab, {.selectable = true, .selected = selected});
    }
    QSize sizeHint() const override
    {
        const int textWidth = std::min(120, QFontMetrics(font()).horizontalAdvance(text()));
        return {8 + 13 + 5 + textWidth + 2, 28};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor fg = m_selected ? Theme::primaryText() : Theme::secondaryText();
        Icons::paint(&painter, QRectF(8, (height() - 13) / 2.0, 13, 13), m_symbol, fg);
        painter.setFont(font());
        painter.setPen(fg);
        const QRectF textRect(8 + 13 + 5, 0, width() - 26, height());
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                         QFontMetrics(font()).elidedText(text(), Qt::ElideRight, int(textRect.width())));
    }

private:
    QString m_symbol;
    bool m_selected;
};

// The rounded body of one tab: the select button and the close button.
class TabChip : public QWidget
{
public:
    TabChip(bool selected, QWidget *parent)
        : QWidget(parent)
        , m_selected(selected)
    {
        setFixedHeight(28);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = m_selected ? Theme::selection() : Theme::inset();
        if (!m_selected)
            fill.setAlphaF(fill.alphaF() * 0.55f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(rect()), 7, 7);
    }

private:
    bool m_selected;
};

} // namespace

// The launcher: one row per tool of the launcher list.
class LauncherView : public QWidget
{
public:
    LauncherView(std::function<void(WorkspaceTool)> choose, QWidget *parent)
        : QWidget(parent)
    {
        setObjectName(u"workspace-launcher"_s);
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(18, 0, 18, 0);
        layout->setSpacing(0);
        layout->addStretch(1);
        layout->addSpacing(80);
        for (WorkspaceTool tool : workspaceLauncherTools) {
            auto *row = new LauncherRow(tool, this);
            connect(row, &QAbstractButton::clicked, this, [choose, tool] { choose(tool); });
            layout->addWidget(row);
            m_rows.push_back(row);
        }
        layout->addStretch(2);
    }
    void setTerminalVisible(bool visible)
    {
        for (LauncherRow *row : m_rows)
            row->setHelp(visible);
    }

private:
    std::vector<LauncherRow *> m_rows;
};

WorkspaceToolsView::WorkspaceToolsView(SessionSelection *selection, SessionDirectory *directory,
                                       Interactions *interactions, SessionActions *sessionActions,
                                       Binding<WorkspaceToolTabState> tabState,
                                       Binding<RuntimeInspectorPanel> inspectorPanel, Actions actions, QWidget *parent)
    : QWidget(parent)
    , m_selection(selection)
    , m_directory(directory)
    , m_interactions(interactions)
    , m_sessionActions(sessionActions)
    , m_tabState(std::move(tabState))
    , m_inspectorPanel(std::move(inspectorPanel))
    , m_actions(std::move(actions))
    , m_topSpacer(new QWidget(this))
    , m_tabBar(new QWidget(this))
    , m_tabRow(new QHBoxLayout)
    , m_tabRule(new ThemeRule(&Theme::strongHairline, this))
    , m_stack(new QStackedLayout)
    , m_launcher(new LauncherView([this](WorkspaceTool tool) { chooseTool(tool); }, this))
{
    setObjectName(u"workspace-tools"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_topSpacer->setFixedHeight(48);
    layout->addWidget(m_topSpacer);

    m_tabBar->setFixedHeight(42);
    auto *bar = new QHBoxLayout(m_tabBar);
    bar->setContentsMargins(7, 0, 7, 0);
    bar->setSpacing(5);
    auto *back = new ChromeIconButton(u"chevron.left"_s, u"工具列表"_s, Theme::secondaryText(),
                                      [this] { changeTabState([](WorkspaceToolTabState &s) { s.showLauncher(); }); }, m_tabBar);
    back->setObjectName(u"workspace-tool-back"_s);
    bar->addWidget(back);
    auto *scroll = new QScrollArea(m_tabBar);
    scroll->setObjectName(u"workspace-tab-strip"_s);
    scroll->setAccessibleName(u"工具标签"_s);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->setStyleSheet(u"QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"_s);
    auto *strip = new QWidget(scroll);
    strip->setLayout(m_tabRow);
    m_tabRow->setContentsMargins(0, 0, 0, 0);
    m_tabRow->setSpacing(4);
    scroll->setWidget(strip);
    bar->addWidget(scroll, 1);
    auto *newTool = new QToolButton(m_tabBar);
    newTool->setObjectName(u"workspace-new-tool-tab"_s);
    newTool->setToolTip(u"新建工具标签"_s);
    newTool->setAccessibleName(u"新建工具标签"_s);
    newTool->setAutoRaise(true);
    newTool->setFixedSize(28, 28);
    newTool->setIcon(QIcon(Icons::pixmap(u"plus"_s, 15, Theme::secondaryText(), devicePixelRatioF())));
    newTool->setPopupMode(QToolButton::InstantPopup);
    newTool->setStyleSheet(u"QToolButton::menu-indicator { image: none; width: 0; }"_s);
    auto *menu = new QMenu(newTool);
    menu->setObjectName(u"workspace-new-tool-menu"_s);
    // Drawn when the menu first opens; the panel is built hidden at start-up.
    const QColor menuTint = Theme::secondaryText();
    for (WorkspaceTool tool : workspaceLauncherTools) {
        const QString symbol = workspaceToolIcon(tool);
        const QIcon icon = lazyIcon([symbol, menuTint] { return QIcon(Icons::pixmap(symbol, 16, menuTint)); });
        QAction *action = menu->addAction(icon, workspaceToolLabel(tool));
        action->setObjectName(u"workspace-new-tool-"_s + workspaceToolRawValue(tool));
        connect(action, &QAction::triggered, this, [this, tool] { chooseTool(tool); });
    }
    newTool->setMenu(menu);
    // Qt's own accessibility action of an instant-popup tool button opens nothing; pressing
    // it as a click does opens the menu.
    Accessibility::describe(newTool, QAccessible::ButtonMenu);
    bar->addWidget(newTool);
    layout->addWidget(m_tabBar);
    layout->addWidget(m_tabRule);

    m_stack->addWidget(m_launcher);
    layout->addLayout(m_stack, 1);
    refresh();
}

void WorkspaceToolsView::chooseTool(WorkspaceTool tool)
{
    if (tool == WorkspaceTool::Terminal) {
        if (m_actions.onToggleTerminal)
            m_actions.onToggleTerminal();
    } else if (m_actions.onOpenTool) {
        m_actions.onOpenTool(tool);
    }
}

void WorkspaceToolsView::changeTabState(const std::function<void(WorkspaceToolTabState &)> &change)
{
    if (!m_tabState.get || !m_tabState.set)
        return;
    WorkspaceToolTabState state = m_tabState.get();
    change(state);
    m_tabState.set(state);
}

void WorkspaceToolsView::setRootURL(const QUrl &rootURL)
{
    m_rootURL = rootURL;
    refresh();
}

void WorkspaceToolsView::setInspectorEvent(std::optional<TrajectoryEventSelection> event) { m_inspectorEvent = std::move(event); }

void WorkspaceToolsView::setTerminalVisible(bool visible)
{
    m_terminalVisible = visible;
    m_launcher->setTerminalVisible(visible);
}

void WorkspaceToolsView::setSideChatRuntimes(const QHash<QUuid, WorkspaceSideChatRuntime> &runtimes)
{
    m_sideChatRuntimes = runtimes;
}

QWidget *WorkspaceToolsView::createToolView(const WorkspaceToolTab &tab)
{
    QWidget *view = nullptr;
    switch (tab.tool) {
    case WorkspaceTool::Review:
        view = new WorkspaceReviewView(m_rootURL, this);
        break;
    case WorkspaceTool::Files:
        view = new WorkspaceFileBrowserView(m_rootURL, tab.requestedFileURL, this);
        break;
    case WorkspaceTool::Browser:
        view = new WorkspaceBrowserView(tab.browserStartURL, this);
        break;
    case WorkspaceTool::SideChat: {
        const QUuid id = tab.id;
        view = new WorkspaceSideChatView(m_interactions, m_sessionActions, [this, id] {
            if (m_actions.onRetrySideChat)
                m_actions.onRetrySideChat(id);
        }, this);
        break;
    }
    case WorkspaceTool::SessionInspector:
    case WorkspaceTool::Terminal:
        view = new QWidget(this);
        break;
    }
    view->setProperty("workspaceTabId", tab.id.toString(QUuid::WithoutBraces));
    return view;
}

void WorkspaceToolsView::updateToolView(const WorkspaceToolTab &tab, QWidget *view)
{
    if (auto *review = qobject_cast<WorkspaceReviewView *>(view))
        review->setRootURL(m_rootURL);
    else if (auto *files = qobject_cast<WorkspaceFileBrowserView *>(view))
        files->setRootURL(m_rootURL);
    else if (auto *chat = qobject_cast<WorkspaceSideChatView *>(view))
        chat->setRuntime(m_sideChatRuntimes.value(tab.id));
    else if (tab.tool == WorkspaceTool::SessionInspector) {
        // The run inspector of the selected session, kept while a session is selected so that
        // it keeps its scroll position; the hint while none is.
        const std::shared_ptr<SessionModel> session = m_selection && m_selection->selectedSessionId()
            ? m_selection->sessionModel(*m_selection->selectedSessionId())
            : nullptr;
        auto *inspector = view->findChild<RuntimeInspectorView *>(QString(), Qt::FindDirectChildrenOnly);
        if (bool(session) != bool(inspector) || !view->layout()) {
            qDeleteAll(view->findChildren<QWidget *>(Qt::FindDirectChildrenOnly));
            delete view->layout();
            auto *layout = new QVBoxLayout(view);
            layout->setContentsMargins(0, 0, 0, 0);
            inspector = nullptr;
            if (session) {
                inspector = new RuntimeInspectorView(
                    m_directory, session, m_inspectorPanel, m_inspectorEvent, true,
                    {kAllRuntimeInspectorPanels.begin(), kAllRuntimeInspectorPanels.end()}, view);
                layout->addWidget(inspector);
            } else {
                layout->addWidget(new ContentUnavailableView(u"未选择会话"_s, u"info.circle"_s, u"选择一个会话后查看运行信息"_s, view));
            }
        }
        if (inspector) {
            inspector->setSession(session);
            inspector->setEvent(m_inspectorEvent);
            inspector->refresh();
        }
    }
}

void WorkspaceToolsView::rebuildTabBar(const WorkspaceToolTabState &state)
{
    // Later, not now: the button being clicked may be the reason for this rebuild.
    while (QLayoutItem *item = m_tabRow->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    QWidget *strip = m_tabRow->parentWidget();
    for (const WorkspaceToolTab &tab : state.tabs) {
        const bool selected = state.selectedTabID == tab.id;
        auto *chip = new TabChip(selected, strip);
        chip->setObjectName(u"workspace-tab-"_s + tab.id.toString(QUuid::WithoutBraces));
        auto *row = new QHBoxLayout(chip);
        row->setContentsMargins(0, 0, 4, 0);
        row->setSpacing(5);
        auto *select = new TabSelectButton(tab, selected, chip);
        select->setObjectName(u"workspace-tab-select"_s);
        const QUuid id = tab.id;
        // Checked however it happens (a click, the accessibility action, a key): the tab is
        // selected. The shown tab stays checked.
        connect(select, &QAbstractButton::toggled, this, [this, id, select, selected](bool checked) {
            if (!checked && selected) {
                select->setChecked(true);
                return;
            }
            if (checked)
                changeTabState([id](WorkspaceToolTabState &s) { s.select(id); });
        });
        row->addWidget(select);
        auto *close = new ChromeIconButton(u"xmark"_s, u"关闭"_s + tab.title(), std::nullopt, [this, id] {
            if (m_actions.onCloseTab)
                m_actions.onCloseTab(id);
        }, chip);
        close->setObjectName(u"workspace-tab-close"_s);
        close->setFixedSize(16, 16);
        row->addWidget(close);
        m_tabRow->addWidget(chip);
    }
    m_tabRow->addStretch(1);
}

void WorkspaceToolsView::refresh()
{
    const WorkspaceToolTabState state = m_tabState.get ? m_tabState.get() : WorkspaceToolTabState{};
    const bool empty = state.tabs.empty();
    m_topSpacer->setVisible(empty);
    m_tabBar->setVisible(!empty);
    m_tabRule->setVisible(!empty);
    rebuildTabBar(state);

    // Views of closed tabs go; new tabs get theirs; every open one follows the root.
    QSet<QUuid> open;
    for (const WorkspaceToolTab &tab : state.tabs)
        open.insert(tab.id);
    for (auto it = m_views.begin(); it != m_views.end();) {
        if (!open.contains(it.key())) {
            m_stack->removeWidget(it.value());
            delete it.value();
            it = m_views.erase(it);
        } else {
            ++it;
        }
    }
    for (const WorkspaceToolTab &tab : state.tabs) {
        QWidget *view = m_views.value(tab.id);
        if (!view) {
            view = createToolView(tab);
            m_views.insert(tab.id, view);
            m_stack->addWidget(view);
        }
        updateToolView(tab, view);
    }
    const WorkspaceToolTab *selected = state.selectedTabID ? state.find(*state.selectedTabID) : nullptr;
    m_stack->setCurrentWidget(selected ? m_views.value(selected->id) : static_cast<QWidget *>(m_launcher));
}

void WorkspaceToolsView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
