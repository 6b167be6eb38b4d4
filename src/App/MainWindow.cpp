#include "App/MainWindow.h"

#include "App/ContentView.h"
#include "App/WindowPlacement.h"
#include "Store/AppModel.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QAction>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QScreen>
#include <QWindow>
#include <QMenuBar>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

QAction *addCommand(QMenu *menu, const QString &objectName, const QString &title, const QKeySequence &shortcut)
{
    QAction *action = menu->addAction(title);
    action->setObjectName(objectName);
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
    return action;
}

} // namespace

MainWindow::MainWindow(AppModel *appModel, std::function<void()> settingsOpener, QWidget *parent,
                       std::function<void()> quit)
    : QMainWindow(parent)
    , m_content(new ContentView(appModel, settingsOpener, this))
{
    setObjectName(u"main"_s);
    setWindowTitle(u"Nimbrel Deck"_s);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setCentralWidget(m_content);

    QMenu *fileMenu = menuBar()->addMenu(u"文件"_s);
    QAction *newSession = addCommand(fileMenu, u"new-session-command"_s, u"新建会话"_s, QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(newSession, &QAction::triggered, this,
            [appModel] { startCreateSession(appModel ? appModel->sessions() : nullptr); });
    // Within reach when the launched host has gone: the same restart as the Settings button's.
    QAction *restartHost = addCommand(fileMenu, u"restart-host-command"_s, u"重启内置 NBD"_s, QKeySequence());
    connect(restartHost, &QAction::triggered, this, [appModel] {
        if (!appModel)
            return;
        appModel->disconnect();
        appModel->connect();
    });
    if (appModel) {
        ConnectionSettings *connection = appModel->connectionSettings();
        const auto followMode = [restartHost, connection] {
            restartHost->setVisible(connection->launchMode() == LaunchMode::Embedded);
        };
        connect(connection, &ConnectionSettings::launchModeChanged, restartHost, followMode);
        followMode();
    } else {
        restartHost->setVisible(false);
    }
    // Without an application menu on this desktop, Settings and Quit live in the first menu,
    // where Linux users look for them.
    fileMenu->addSeparator();
    QAction *settings = addCommand(fileMenu, u"settings-command"_s, u"设置…"_s, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setMenuRole(QAction::PreferencesRole);
    connect(settings, &QAction::triggered, this, [settingsOpener] {
        if (settingsOpener)
            settingsOpener();
    });
    fileMenu->addSeparator();
    QAction *quitAction = addCommand(fileMenu, u"quit-command"_s, u"退出"_s, QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction->setMenuRole(QAction::QuitRole);
    // Application-wide: Ctrl+Q quits from the Settings window too.
    quitAction->setShortcutContext(Qt::ApplicationShortcut);
    connect(quitAction, &QAction::triggered, this, [quit = std::move(quit)] {
        if (quit)
            quit();
        else
            QCoreApplication::quit();
    });

    QMenu *workspace = menuBar()->addMenu(u"工作区"_s);
    ContentView *content = m_content;
    const auto addToolCommand = [&](const QString &objectName, const QString &title, const QKeySequence &shortcut,
                                    WorkspaceTool tool) {
        QAction *action = addCommand(workspace, objectName, title, shortcut);
        connect(action, &QAction::triggered, content, [content, tool] { content->openWorkspaceTool(tool); });
    };
    addToolCommand(u"workspace-review-command"_s, u"审阅"_s, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G),
                   WorkspaceTool::Review);
    QAction *terminal = addCommand(workspace, u"workspace-terminal-command"_s, u"终端"_s,
                                   QKeySequence(Qt::CTRL | Qt::Key_QuoteLeft));
    connect(terminal, &QAction::triggered, content, &ContentView::toggleTerminal);
    addToolCommand(u"workspace-browser-command"_s, u"浏览器"_s, QKeySequence(Qt::CTRL | Qt::Key_T),
                   WorkspaceTool::Browser);
    addToolCommand(u"workspace-files-command"_s, u"文件"_s, QKeySequence(Qt::CTRL | Qt::Key_P), WorkspaceTool::Files);
    addToolCommand(u"workspace-side-chat-command"_s, u"侧边聊天"_s, QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S),
                   WorkspaceTool::SideChat);
}

void MainWindow::fitMinimumTo(const QScreen *screen)
{
    if (!screen)
        return;
    const QSize room = windowplacement::roomOn(this, screen);
    setMinimumSize(QSize(kMinimumWidth, kMinimumHeight).boundedTo(room));
    if (size().width() > room.width() || size().height() > room.height())
        resize(size().boundedTo(room));
}

void MainWindow::placeOnScreen()
{
    QScreen *screen = windowplacement::screenForNewWindow();
    if (!screen)
        return;
    setScreen(screen);
    winId(); // the frame, where the platform knows it before the window is shown
    // The minimum first: it would hold the window above the room otherwise.
    fitMinimumTo(screen);
    windowplacement::openCentred(this, screen, QSize(kPreferredWidth, kPreferredHeight));
    connect(windowHandle(), &QWindow::screenChanged, this, &MainWindow::fitMinimumTo, Qt::UniqueConnection);
}

bool MainWindow::event(QEvent *event)
{
    // The first web view placed in the window (browser tool, plugin overlay) switches the window
    // to GPU composition, and Qt re-creates its native window for that. The new window is not
    // active, so application shortcuts such as Ctrl+Q would stop working until the user clicks
    // it: hand activation back to it when it was the active window before.
    if (event->type() == QEvent::WinIdChange) {
        if (internalWinId() == 0) {
            // Qt has already dropped the window's activation by now; the application's state still
            // tells whether the user was working in it rather than in another of our windows.
            const QWindow *focus = QGuiApplication::focusWindow();
            m_reactivateWhenRecreated = QGuiApplication::applicationState() == Qt::ApplicationActive
                && (!focus || focus == windowHandle());
        } else if (m_reactivateWhenRecreated) {
            m_reactivateWhenRecreated = false;
            QTimer::singleShot(0, this, [this] {
                if (isVisible())
                    activateWindow();
            });
        }
    }
    return QMainWindow::event(event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        Q_EMIT closed();
}

} // namespace nbd
