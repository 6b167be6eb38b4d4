#include "App/ContentView.h"
#include "App/ViewOwners.h"

#include "Store/AppModel.h"
#include "Session/SessionModel.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/SidebarMaterialBackground.h"
#include "UI/Sidebar/PluginOverlayLoader.h"
#include "UI/Settings/SettingsView.h"
#include "UI/Sidebar/SidebarRailView.h"
#include "UI/Sidebar/SidebarView.h"
#include "UI/Shared/Theme.h"
#include "Store/WorkspaceTerminalModel.h"
#include "UI/Tools/WorkspaceTerminalDock.h"
#include "UI/Tools/WorkspaceToolsView.h"
#include "Base/CancelToken.h"

#include <QDir>
#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// A plain rectangle in a theme colour, read at paint time.
class Rule : public QWidget
{
public:
    Rule(QColor (*color)(), QWidget *parent)
        : QWidget(parent)
        , m_color(color)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), m_color());
    }

private:
    QColor (*m_color)();
};

QUrl directoryURL(const QString &path)
{
    return QUrl::fromLocalFile(QDir::cleanPath(QDir::current().absoluteFilePath(path)));
}

} // namespace

// ---- ResizeHandle ----

ResizeHandle::ResizeHandle(Qt::Orientation orientation, QWidget *parent)
    : QWidget(parent)
{
    setCursor(orientation == Qt::Horizontal ? Qt::SizeHorCursor : Qt::SizeVerCursor);
    setAttribute(Qt::WA_NoSystemBackground);
}

void ResizeHandle::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    m_pressGlobal = event->globalPosition();
    Q_EMIT dragChanged(QPointF(0, 0));
}

void ResizeHandle::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressGlobal)
        return QWidget::mouseMoveEvent(event);
    Q_EMIT dragChanged(event->globalPosition() - *m_pressGlobal);
}

void ResizeHandle::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_pressGlobal)
        return QWidget::mouseReleaseEvent(event);
    Q_EMIT dragChanged(event->globalPosition() - *m_pressGlobal);
    m_pressGlobal.reset();
    Q_EMIT dragEnded();
}

// ---- ContentView ----

qreal ContentView::clampedSidebarWidth(qreal wanted) { return std::clamp(wanted, kSidebarMinWidth, kSidebarMaxWidth); }

qreal ContentView::clampedRightSidebarWidth(qreal wanted) { return std::clamp(wanted, kRightMinWidth, kRightMaxWidth); }

qreal ContentView::clampedTerminalHeight(qreal wanted, qreal maximum)
{
    return std::min(std::max(wanted, kTerminalMinHeight), maximum);
}

ContentView::ContentView(AppModel *appModel, std::function<void()> settingsOpener, QWidget *parent)
    : QWidget(parent)
    , m_appModel(appModel)
    , m_settingsOpener(std::move(settingsOpener))
    , m_terminal(new WorkspaceTerminalModel(QUrl::fromLocalFile(QDir::homePath()), this))
    , m_leftBackground(new SidebarMaterialBackground(this))
    , m_sidebar(new SidebarView(
          appModel ? appModel->sessions() : nullptr, appModel ? appModel->selection() : nullptr,
          settingsOwners(appModel), [this] { collapseSidebar(); },
          Binding<bool>{[this] { return m_sidebarSearchVisible; },
                        [this](bool v) {
                            m_sidebarSearchVisible = v;
                            m_sidebar->refresh();
                        }},
          m_leftBackground))
    , m_rail(new SidebarRailView(
          appModel ? appModel->sessions() : nullptr, [this] { expandSidebar(); },
          [this] {
              m_sidebarSearchVisible = true;
              m_sidebar->refresh();
              expandSidebar();
              // Expanding into the search means typing next.
              m_sidebar->focusSearchField();
          },
          [this] {
              if (m_settingsOpener)
                  m_settingsOpener();
          },
          m_leftBackground))
    , m_leftHairline(new Rule(&Theme::hairline, this))
    , m_conversation(new ConversationView(
          conversationOwners(appModel), [this] { toggleRightSidebar(); }, [this] { toggleTerminal(); },
          [this](RuntimeInspectorPanel panel, std::optional<TrajectoryEventSelection> event) {
              openSessionInspector(panel, std::move(event));
          },
          this))
    , m_rightRule(new Rule(&Theme::strongHairline, this))
    , m_tools(new WorkspaceToolsView(
          appModel ? appModel->selection() : nullptr, appModel ? appModel->sessions() : nullptr,
          appModel ? appModel->interactions() : nullptr, appModel ? appModel->sessionActions() : nullptr,
          Binding<WorkspaceToolTabState>{[this] { return m_workspaceToolTabs; },
                                         [this](WorkspaceToolTabState s) {
                                             m_workspaceToolTabs = std::move(s);
                                             refreshTools();
                                         }},
          Binding<RuntimeInspectorPanel>{[this] { return m_inspectorPanel; },
                                         [this](RuntimeInspectorPanel p) { m_inspectorPanel = p; }},
          WorkspaceToolsView::Actions{[this] { toggleTerminal(); },
                                      [this](WorkspaceTool tool) { openWorkspaceTool(tool); },
                                      [this](QUuid id) { closeWorkspaceToolTab(id); },
                                      [this](QUuid id) { createSideChat(id); }},
          this))
    , m_terminalRule(new Rule(&Theme::strongHairline, this))
    , m_sidebarHandle(new ResizeHandle(Qt::Horizontal, this))
    , m_rightHandle(new ResizeHandle(Qt::Horizontal, this))
    , m_terminalHandle(new ResizeHandle(Qt::Vertical, this))
{
    setObjectName(u"content"_s);
    // Links opened anywhere inside the window go to its workspace tools first.
    LinkOpener::install(this, [this](const QUrl &url) { return openWorkspaceLink(url); });
    m_sidebarHandle->setObjectName(u"sidebar-resize-handle"_s);
    m_rightHandle->setObjectName(u"workspace-tools-resize-handle"_s);
    m_terminalHandle->setObjectName(u"terminal-resize-handle"_s);
    m_rail->hide();
    m_tools->hide();
    m_rightRule->hide();
    m_terminalRule->hide();
    m_rightHandle->hide();
    m_terminalHandle->hide();

    // Drags take the value at their start and add the pointer's translation; never animated.
    connect(m_sidebarHandle, &ResizeHandle::dragChanged, this, [this](QPointF t) {
        if (!m_dragStartWidth)
            m_dragStartWidth = m_sidebarWidth;
        m_sidebarWidth = clampedSidebarWidth(*m_dragStartWidth + t.x());
        relayout();
        Q_EMIT layoutStateChanged();
    });
    connect(m_sidebarHandle, &ResizeHandle::dragEnded, this, [this] { m_dragStartWidth.reset(); });
    connect(m_rightHandle, &ResizeHandle::dragChanged, this, [this](QPointF t) {
        if (!m_rightDragStartWidth)
            m_rightDragStartWidth = m_rightSidebarWidth;
        m_rightSidebarWidth = clampedRightSidebarWidth(*m_rightDragStartWidth - t.x());
        relayout();
        Q_EMIT layoutStateChanged();
    });
    connect(m_rightHandle, &ResizeHandle::dragEnded, this, [this] { m_rightDragStartWidth.reset(); });
    connect(m_terminalHandle, &ResizeHandle::dragChanged, this, [this](QPointF t) {
        if (!m_terminalDragStartHeight)
            m_terminalDragStartHeight = m_terminalHeight;
        m_terminalHeight = clampedTerminalHeight(*m_terminalDragStartHeight - t.y(), maximumTerminalHeight(height()));
        relayout();
        Q_EMIT layoutStateChanged();
    });
    connect(m_terminalHandle, &ResizeHandle::dragEnded, this, [this] { m_terminalDragStartHeight.reset(); });

    if (appModel) {
        connect(appModel->selection(), &SessionSelection::selectedSessionIdChanged, this,
                &ContentView::selectedSessionChanged);
        connect(appModel->selection(), &SessionSelection::sessionModelsChanged, this,
                &ContentView::selectedSessionChanged);
        for (auto signal : {&SessionDirectory::sessionsChanged, &SessionDirectory::workspacesChanged})
            connect(appModel->sessions(), signal, this, &ContentView::moveTerminalToWorkingDirectory);
        for (auto signal : {&SessionSelection::selectedSessionIdChanged, &SessionSelection::selectedSubagentChanged})
            connect(appModel->selection(), signal, this, &ContentView::moveTerminalToWorkingDirectory);
        connect(appModel->connection(), &ConnectionController::hostDescriptionChanged, this,
                &ContentView::moveTerminalToWorkingDirectory);
        connect(appModel->plugins(), &PluginInventory::dynamicPluginsChanged, this, &ContentView::refreshOverlay);
        connect(appModel->connection(), &ConnectionController::baseURLChanged, this, &ContentView::refreshOverlay);
        if (const auto session = appModel->selection()->selectedSession())
            m_shownSessionId = session->sessionId();
    }
    moveTerminalToWorkingDirectory();
    refreshOverlay();
    refreshTools();
}

ContentView::~ContentView()
{
    // Late side-chat results must find the window gone; the detached sessions are released.
    m_alive.reset();
    discardAllSideChats();
}

void ContentView::setSidebarWidth(qreal wanted)
{
    m_sidebarWidth = wanted;
    relayout();
}

void ContentView::setRightSidebarWidth(qreal wanted)
{
    m_rightSidebarWidth = wanted;
    relayout();
}

void ContentView::setTerminalHeight(qreal wanted)
{
    m_terminalHeight = wanted;
    relayout();
}

bool ContentView::hostsClientPluginUI() const
{
    if (!m_appModel)
        return false;
    for (const DynamicPluginInventoryRow &row : m_appModel->plugins()->dynamicPlugins()) {
        if (!row.isRunning())
            continue;
        const auto package = row.selectedPackage();
        if (package && package->hasClientHalf)
            return true;
    }
    return false;
}

void ContentView::refreshOverlay()
{
    const std::optional<QUrl> base = m_appModel ? m_appModel->connection()->baseURL() : std::nullopt;
    const bool show = hostsClientPluginUI() && base.has_value();
    if (show && (!m_overlay || m_overlayBaseURL != *base)) {
        delete m_overlay;
        m_overlayBaseURL = *base;
        m_overlay = createPluginOverlay(*base, this);
        if (!m_overlay)
            return;
        m_overlay->setGeometry(rect());
        m_overlay->show();
        m_overlay->raise();
    } else if (!show && m_overlay) {
        delete m_overlay;
        m_overlay = nullptr;
    }
}

// ---- Animated state ----

void ContentView::animate(QVariantAnimation *&animation, qreal &value, qreal target, int durationMs)
{
    // One animation per state, owned by the view and reused: a finished animation stays
    // alive, so the next toggle can always stop it and start again from where the value is.
    if (animation)
        animation->stop();
    if (Motion::reduceMotion() || !isVisible() || value == target) {
        value = target;
        relayout();
        return;
    }
    if (!animation) {
        animation = new QVariantAnimation(this);
        animation->setEasingCurve(Motion::easeInOut());
        QVariantAnimation *anim = animation;
        qreal *slot = &value;
        connect(anim, &QVariantAnimation::valueChanged, this, [this, slot](const QVariant &v) {
            *slot = v.toReal();
            relayout();
        });
        connect(anim, &QVariantAnimation::finished, this, [this, slot, anim] {
            *slot = anim->endValue().toReal();
            relayout();
        });
    }
    animation->setDuration(durationMs);
    animation->setStartValue(value);
    animation->setEndValue(target);
    animation->start();
}

bool ContentView::isAnimating() const
{
    for (const QVariantAnimation *animation : {m_sidebarAnimation, m_rightAnimation, m_terminalAnimation}) {
        if (animation && animation->state() == QAbstractAnimation::Running)
            return true;
    }
    return false;
}

void ContentView::setSidebarCollapsed(bool collapsed)
{
    if (m_sidebarCollapsed == collapsed)
        return;
    m_sidebarCollapsed = collapsed;
    animate(m_sidebarAnimation, m_sidebarProgress, collapsed ? 1.0 : 0.0, Motion::kSidebarMs);
    Q_EMIT layoutStateChanged();
}

void ContentView::setRightSidebarVisible(bool visible)
{
    if (m_rightSidebarVisible == visible)
        return;
    m_rightSidebarVisible = visible;
    animate(m_rightAnimation, m_rightProgress, visible ? 1.0 : 0.0, Motion::kLayoutMs);
    Q_EMIT layoutStateChanged();
}

void ContentView::setTerminalVisible(bool visible)
{
    if (m_terminalVisible == visible)
        return;
    m_terminalVisible = visible;
    if (visible && !m_terminalDock) {
        // Made when first shown: its monospaced fonts and text views are not needed before.
        m_terminalDock = new WorkspaceTerminalDock(m_terminal, [this] { hideTerminal(); }, this);
        m_terminalDock->hide();
    }
    m_tools->setTerminalVisible(visible);
    animate(m_terminalAnimation, m_terminalProgress, visible ? 1.0 : 0.0, Motion::kLayoutMs);
    Q_EMIT layoutStateChanged();
}

void ContentView::expandSidebar() { setSidebarCollapsed(false); }
void ContentView::collapseSidebar() { setSidebarCollapsed(true); }
void ContentView::toggleTerminal() { setTerminalVisible(!m_terminalVisible); }
void ContentView::hideTerminal() { setTerminalVisible(false); }

void ContentView::toggleRightSidebar()
{
    if (m_rightSidebarVisible) {
        setRightSidebarVisible(false);
        return;
    }
    m_workspaceToolTabs.showLauncher();
    refreshTools();
    setRightSidebarVisible(true);
}

// ---- Geometry ----

void ContentView::relayout()
{
    const int W = width();
    const int H = height();
    const qreal expanded = clampedSidebarWidth(m_sidebarWidth);
    const int leftW = int(std::lround(expanded + (kRailWidth - expanded) * m_sidebarProgress));

    m_leftBackground->setGeometry(0, 0, leftW, H);
    // The column clips its content: the sidebar keeps its own width while the column narrows.
    m_sidebar->setGeometry(0, 0, int(expanded), H);
    m_rail->setGeometry(0, 0, int(kRailWidth), H);
    m_sidebar->setVisible(!m_sidebarCollapsed);
    m_rail->setVisible(m_sidebarCollapsed);
    m_leftHairline->setGeometry(leftW, 0, 1, H);

    const int x0 = leftW + 1;
    const int ww = std::max(0, W - x0);

    const int dockH = int(std::lround(clampedTerminalHeight(m_terminalHeight, maximumTerminalHeight(H))));
    const bool dockShown = m_terminalProgress > 0;
    const int dockShownH = int(std::lround(dockH * m_terminalProgress));
    const int stackH = dockShown ? std::max(0, H - 1 - dockShownH) : H;

    int rw = int(std::lround(clampedRightSidebarWidth(m_rightSidebarWidth) * m_rightProgress));
    const bool toolsShown = rw > 0;
    const int ruleW = m_rightSidebarVisible || toolsShown ? 1 : 0;
    if (toolsShown)
        rw = std::clamp(ww - ruleW - kConversationMinWidth, std::min(rw, kRightYieldWidth), rw);
    const int convW = std::max(0, ww - rw - ruleW);

    m_conversation->setGeometry(x0, 0, convW, stackH);
    m_rightRule->setVisible(ruleW > 0);
    m_rightRule->setGeometry(x0 + convW, 0, 1, stackH);
    m_rightHandle->setVisible(m_rightSidebarVisible);
    // From the rule into the panel's own padding: straddling the rule, it would take the clicks
    // and the hover of the conversation's right edge (the trajectory strip's last entries).
    m_rightHandle->setGeometry(x0 + convW, 0, kHandleThickness, stackH);
    // Hidden, not removed: its tabs and live tool views survive.
    m_tools->setVisible(toolsShown);
    m_tools->setGeometry(x0 + convW + ruleW, 0, rw, stackH);

    m_terminalRule->setVisible(dockShown);
    m_terminalRule->setGeometry(x0, stackH, ww, 1);
    m_terminalHandle->setVisible(m_terminalVisible);
    m_terminalHandle->setGeometry(x0, stackH - (kHandleThickness - 1) / 2 - 1, ww, kHandleThickness);
    if (m_terminalDock) {
        m_terminalDock->setVisible(dockShown);
        m_terminalDock->setGeometry(x0, stackH + 1, ww, dockH);
    }

    m_sidebarHandle->setVisible(!m_sidebarCollapsed);
    m_sidebarHandle->setGeometry(leftW - kHandleThickness / 2, 0, kHandleThickness, H);

    m_sidebarHandle->raise();
    m_rightHandle->raise();
    m_terminalHandle->raise();
    if (m_overlay) {
        m_overlay->setGeometry(rect());
        m_overlay->raise();
    }
}

void ContentView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void ContentView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

void ContentView::changeEvent(QEvent *event)
{
    // A new system palette may flip the appearance: every view repaints from the theme.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) {
        const auto children = findChildren<QWidget *>();
        for (QWidget *child : children)
            child->update();
    }
    QWidget::changeEvent(event);
}

// ---- Workspace tools ----

QUrl ContentView::selectedWorkingDirectory() const
{
    if (m_appModel) {
        if (const auto id = m_appModel->selection()->selectedSidebarSessionId()) {
            const auto &sessions = m_appModel->sessions()->sessions();
            const auto row = std::find_if(sessions.begin(), sessions.end(),
                                          [&](const SessionSummary &s) { return s.sessionId == *id; });
            if (row != sessions.end() && row->cwd && !row->cwd->isEmpty())
                return directoryURL(*row->cwd);
            const auto &workspaces = m_appModel->sessions()->workspaces();
            const auto ws = std::find_if(workspaces.begin(), workspaces.end(), [&](const WorkspaceView &w) {
                return std::find(w.sessionIds.begin(), w.sessionIds.end(), *id) != w.sessionIds.end();
            });
            if (ws != workspaces.end())
                return directoryURL(ws->path);
        }
        const auto &description = m_appModel->connection()->hostDescription();
        if (description && !description->cwd.isEmpty())
            return directoryURL(description->cwd);
    }
    return QUrl::fromLocalFile(QDir::homePath());
}

void ContentView::moveTerminalToWorkingDirectory()
{
    const QUrl directory = selectedWorkingDirectory();
    const QString path = directory.toLocalFile();
    if (path == m_lastWorkingDirectory)
        return;
    m_lastWorkingDirectory = path;
    m_terminal->useDirectory(directory);
    m_tools->setRootURL(directory);
}

void ContentView::refreshTools()
{
    m_tools->setSideChatRuntimes(m_sideChatRuntimes);
    m_tools->setInspectorEvent(m_selectedTrajectoryEvent);
    m_tools->refresh();
}

void ContentView::openWorkspaceTool(WorkspaceTool tool, std::optional<QUrl> browserStartURL,
                                    std::optional<QUrl> requestedFileURL)
{
    if (tool == WorkspaceTool::Terminal) {
        toggleTerminal();
        return;
    }
    std::optional<QUrl> start;
    std::optional<QUrl> file;
    if (tool == WorkspaceTool::Browser)
        start = browserStartURL ? browserStartURL : (m_appModel ? m_appModel->connection()->baseURL() : std::nullopt);
    else if (tool == WorkspaceTool::Files)
        file = requestedFileURL;
    const QUuid id = QUuid::createUuid();
    const bool reuse = tool == WorkspaceTool::SessionInspector || tool == WorkspaceTool::Review;
    m_workspaceToolTabs.open(tool, id, start, file, reuse);
    refreshTools();
    setRightSidebarVisible(true);
    if (tool == WorkspaceTool::SideChat)
        createSideChat(id);
    Q_EMIT layoutStateChanged();
}

void ContentView::closeWorkspaceToolTab(const QUuid &id)
{
    const auto removed = m_workspaceToolTabs.close(id);
    if (removed && removed->tool == WorkspaceTool::SideChat)
        discardSideChat(id, true);
    refreshTools();
    Q_EMIT layoutStateChanged();
}

void ContentView::openSessionInspector(RuntimeInspectorPanel panel, std::optional<TrajectoryEventSelection> event)
{
    m_inspectorPanel = panel;
    m_selectedTrajectoryEvent = std::move(event);
    openWorkspaceTool(WorkspaceTool::SessionInspector);
}

void ContentView::selectedSessionChanged()
{
    std::optional<QString> current;
    if (m_appModel) {
        if (const auto session = m_appModel->selection()->selectedSession())
            current = session->sessionId();
    }
    if (current == m_shownSessionId)
        return;
    m_shownSessionId = current;
    m_selectedTrajectoryEvent.reset();
    if (m_inspectorPanel == RuntimeInspectorPanel::Event)
        m_inspectorPanel = RuntimeInspectorPanel::Runtime;
    refreshTools();
}

bool ContentView::openWorkspaceLink(const QUrl &url)
{
    const WorkspaceLinkDestination destination = WorkspaceLinkRouter::destination(url, selectedWorkingDirectory());
    switch (destination.kind) {
    case WorkspaceLinkDestination::Kind::Browser:
        openWorkspaceTool(WorkspaceTool::Browser, destination.url, std::nullopt);
        return true;
    case WorkspaceLinkDestination::Kind::File:
        openWorkspaceTool(WorkspaceTool::Files, std::nullopt, destination.url);
        return true;
    case WorkspaceLinkDestination::Kind::System:
        return false;
    }
    return false;
}

// ---- Side chats ----

void ContentView::createSideChat(const QUuid &id)
{
    const WorkspaceToolTab *tab = m_workspaceToolTabs.find(id);
    if (!tab || tab->tool != WorkspaceTool::SideChat)
        return;
    if (m_sideChatRuntimes.contains(id) && m_sideChatRuntimes.value(id).loading)
        return;
    discardSideChat(id, false);
    const qint64 generation = ++m_sideChatCreationGenerations[id];
    const QString cwd = selectedWorkingDirectory().toLocalFile();
    m_sideChatRuntimes[id] = WorkspaceSideChatRuntime{nullptr, true, std::nullopt};
    auto cancel = std::make_shared<CancelToken>();
    m_sideChatCreationTasks.insert(id, cancel);
    refreshTools();
    Q_EMIT sideChatsChanged();
    runSideChatCreation(id, generation, cwd, cancel);
}

QCoro::Task<void> ContentView::runSideChatCreation(QUuid id, qint64 generation, QString cwd,
                                                   std::shared_ptr<CancelToken> cancel)
{
    const std::weak_ptr<const bool> alive = m_alive;
    QPointer<AppModel> store = m_appModel;
    std::shared_ptr<SessionModel> session;
    if (store)
        session = co_await store->selection()->createDetachedSession(std::optional<QString>(cwd), std::nullopt);
    const auto release = [&] {
        if (session && store)
            store->selection()->releaseDetachedSessionModel(session->sessionId());
    };
    if (alive.expired() || cancel->isCancelled()) {
        release();
        co_return;
    }
    const auto generationIt = m_sideChatCreationGenerations.constFind(id);
    if (generationIt == m_sideChatCreationGenerations.constEnd() || *generationIt != generation
        || !m_workspaceToolTabs.find(id)) {
        release();
        co_return;
    }
    m_sideChatRuntimes[id] = WorkspaceSideChatRuntime{
        session, false, session ? std::nullopt : std::optional<QString>(u"无法创建新的侧边会话"_s)};
    m_sideChatCreationTasks.remove(id);
    refreshTools();
    Q_EMIT sideChatsChanged();
}

void ContentView::discardSideChat(const QUuid &id, bool removeRuntime)
{
    ++m_sideChatCreationGenerations[id];
    if (const auto task = m_sideChatCreationTasks.take(id))
        task->cancel();
    const auto runtime = m_sideChatRuntimes.constFind(id);
    if (runtime != m_sideChatRuntimes.constEnd() && runtime->session && m_appModel)
        m_appModel->selection()->releaseDetachedSessionModel(runtime->session->sessionId());
    if (removeRuntime) {
        m_sideChatRuntimes.remove(id);
        m_sideChatCreationGenerations.remove(id);
    } else {
        m_sideChatRuntimes[id] = WorkspaceSideChatRuntime{};
    }
    if (!m_alive)
        return;
    refreshTools();
    Q_EMIT sideChatsChanged();
}

void ContentView::discardAllSideChats()
{
    QSet<QUuid> ids;
    for (auto it = m_sideChatRuntimes.cbegin(); it != m_sideChatRuntimes.cend(); ++it)
        ids.insert(it.key());
    for (auto it = m_sideChatCreationTasks.cbegin(); it != m_sideChatCreationTasks.cend(); ++it)
        ids.insert(it.key());
    for (const QUuid &id : ids)
        discardSideChat(id, true);
}

} // namespace nbd
