#include "App/TrayMenu.h"

#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"
#include "UI/Shared/LazyIcon.h"
#include "UI/Shared/MenuText.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// The icon theme's closest counterpart of a symbol name.
QIcon themeIcon(const QString &symbol)
{
    static const QHash<QString, QString> names{
        {u"macwindow"_s, u"window-new"_s},
        {u"text.bubble"_s, u"dialog-question"_s},
        {u"checkmark.shield"_s, u"security-high"_s},
        {u"checkmark"_s, u"dialog-ok"_s},
        {u"xmark"_s, u"dialog-cancel"_s},
        {u"arrow.up.forward.app"_s, u"go-jump"_s},
        {u"stop.circle"_s, u"process-stop"_s},
        {u"bell.slash"_s, u"notifications-disabled"_s},
        {u"gearshape"_s, u"preferences-system"_s},
        {u"power"_s, u"application-exit"_s},
    };
    const QString name = names.value(symbol);
    // Looked up in the theme when the menu is first shown, not while the first window is built.
    return name.isEmpty() ? QIcon() : lazyIcon([name] { return QIcon::fromTheme(name); });
}

QString commandName(AgentMenuEntry::Command command)
{
    using Command = AgentMenuEntry::Command;
    switch (command) {
    case Command::OpenMainWindow:
        return u"open-main-window"_s;
    case Command::OpenQuickAsk:
        return u"quick-ask"_s;
    case Command::ApproveOnce:
        return u"approve"_s;
    case Command::Reject:
        return u"reject"_s;
    case Command::ShowInMainWindow:
        return u"show"_s;
    case Command::CancelSession:
        return u"cancel"_s;
    case Command::OpenNotificationSettings:
        return u"notification-settings"_s;
    case Command::OpenSettings:
        return u"settings"_s;
    case Command::Quit:
        return u"quit"_s;
    case Command::None:
        break;
    }
    return u"text"_s;
}

} // namespace

TrayMenu::TrayMenu(AppModel *appModel, ApprovalNotificationCoordinator *coordinator, Actions actions, QObject *parent,
                   Placement placement)
    : QObject(parent)
    , m_appModel(appModel)
    , m_coordinator(coordinator)
    , m_actions(std::move(actions))
    , m_placement(placement)
    , m_menu(new QMenu)
{
    m_menu->setObjectName(m_placement == Placement::Tray ? u"tray-menu"_s : u"menubar-extra-menu"_s);
    if (appModel) {
        connect(appModel->sessions(), &SessionDirectory::sessionsChanged, this, &TrayMenu::scheduleRebuild);
        connect(appModel->interactions(), &Interactions::pendingApprovalsChanged, this, &TrayMenu::scheduleRebuild);
        // Session titles come from the open session models as well.
        connect(appModel->selection(), &SessionSelection::sessionModelsChanged, this, &TrayMenu::scheduleRebuild);
    }
    if (coordinator) {
        connect(coordinator, &ApprovalNotificationCoordinator::authorizationStatusChanged, this,
                &TrayMenu::scheduleRebuild);
        connect(coordinator, &ApprovalNotificationCoordinator::lastErrorChanged, this, &TrayMenu::scheduleRebuild);
    }
    rebuild();
}

TrayMenu::~TrayMenu() { delete m_menu; }

QString TrayMenu::title() const { return m_title; }

AgentMenuBarInput TrayMenu::input() const
{
    AgentMenuBarInput input;
    if (m_appModel) {
        input.sessions = m_appModel->sessions()->sessions();
        input.pendingApprovals = m_appModel->interactions()->pendingApprovals();
        QPointer<AppModel> model = m_appModel;
        input.displayTitle = [model](const QString &sessionId) -> std::optional<QString> {
            return model ? model->selection()->displayTitle(sessionId) : std::nullopt;
        };
    }
    if (m_coordinator) {
        input.authorizationStatus = m_coordinator->authorizationStatus();
        input.lastError = m_coordinator->lastError();
    }
    return input;
}

void TrayMenu::scheduleRebuild()
{
    if (m_rebuildQueued)
        return;
    m_rebuildQueued = true;
    QTimer::singleShot(0, this, [this] {
        if (m_rebuildQueued)
            rebuild();
    });
}

void TrayMenu::rebuild()
{
    m_rebuildQueued = false;
    const AgentMenuBarInput current = input();
    const QString title = agentMenuBarStatus(current).title();

    // Submenus are children of the menu and go with clear()'s actions only when deleted here.
    for (QMenu *sub : m_menu->findChildren<QMenu *>(QString(), Qt::FindDirectChildrenOnly))
        sub->deleteLater();
    m_menu->clear();
    fill(m_menu, agentMenuBarMenu(current), m_placement == Placement::Tray ? u"tray"_s : u"menubar-extra"_s);

    if (title != m_title) {
        m_title = title;
        if (m_placement == Placement::MenuBar)
            m_menu->setTitle(menuText(m_title));
        Q_EMIT titleChanged(m_title);
    }
}

void TrayMenu::fill(QMenu *menu, const std::vector<AgentMenuEntry> &entries, const QString &path)
{
    for (const AgentMenuEntry &entry : entries) {
        switch (entry.kind) {
        case AgentMenuEntry::Kind::Separator:
            menu->addSeparator();
            break;
        case AgentMenuEntry::Kind::Text: {
            QAction *line = menu->addAction(menuText(entry.title));
            line->setEnabled(false);
            break;
        }
        case AgentMenuEntry::Kind::Action: {
            QAction *item = menu->addAction(themeIcon(entry.symbolName), menuText(entry.title));
            QString name = path + u'-' + commandName(entry.command);
            if (!entry.id.isEmpty())
                name += u'-' + entry.id;
            item->setObjectName(name);
            if (!entry.shortcut.isEmpty()) {
                item->setShortcut(QKeySequence(entry.shortcut));
                // In the window the File menu's command holds the key already (Quit on Ctrl+Q):
                // here it counts only while this menu is open, so the key is never ambiguous.
                if (m_placement == Placement::MenuBar)
                    item->setShortcutContext(Qt::WidgetShortcut);
            }
            const AgentMenuEntry copy = entry;
            connect(item, &QAction::triggered, this, [this, copy] { run(copy); });
            break;
        }
        case AgentMenuEntry::Kind::Submenu: {
            // Parented to the top menu so a rebuild finds and deletes every level.
            auto *sub = new QMenu(menuText(entry.title), m_menu);
            sub->setIcon(themeIcon(entry.symbolName));
            const QString name = entry.id.isEmpty() ? path + u"-submenu"_s : path + u'-' + entry.id;
            sub->setObjectName(name);
            sub->menuAction()->setObjectName(name);
            fill(sub, entry.children, entry.id.isEmpty() ? path : name);
            menu->addMenu(sub);
            break;
        }
        }
    }
}

void TrayMenu::run(const AgentMenuEntry &entry)
{
    using Command = AgentMenuEntry::Command;
    const auto call = [](const std::function<void()> &f) {
        if (f)
            f();
    };
    switch (entry.command) {
    case Command::OpenMainWindow:
        call(m_actions.openMainWindow);
        break;
    case Command::OpenQuickAsk:
        call(m_actions.openQuickAsk);
        break;
    case Command::ApproveOnce:
    case Command::Reject:
        if (m_coordinator && entry.route)
            m_coordinator->answer(*entry.route, entry.command == Command::ApproveOnce);
        break;
    case Command::ShowInMainWindow:
        if (m_appModel)
            m_appModel->selection()->selectSession(entry.sessionId);
        call(m_actions.openMainWindow);
        break;
    case Command::CancelSession:
        if (m_appModel)
            m_appModel->sessionActions()->cancelSession(entry.sessionId);
        break;
    case Command::OpenNotificationSettings:
        openNotificationSettings();
        break;
    case Command::OpenSettings:
        call(m_actions.openSettings);
        break;
    case Command::Quit:
        call(m_actions.quit);
        break;
    case Command::None:
        break;
    }
}

bool TrayMenu::openNotificationSettings()
{
    const std::pair<QString, QStringList> candidates[] = {
        {u"gnome-control-center"_s, {u"notifications"_s}},
        {u"systemsettings"_s, {u"kcm_notifications"_s}},
        {u"xfce4-notifyd-config"_s, {}},
    };
    for (const auto &[program, arguments] : candidates) {
        const QString path = QStandardPaths::findExecutable(program);
        if (!path.isEmpty() && QProcess::startDetached(path, arguments))
            return true;
    }
    return false;
}

} // namespace nbd
