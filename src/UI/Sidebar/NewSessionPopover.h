#pragma once

#include "Domain/Models.h"

#include <QAbstractButton>
#include <QFrame>
#include <QPointer>

#include <functional>
#include <vector>

class QScrollArea;
class QVBoxLayout;

namespace nbd {

class SessionDirectory;

// The "新建会话" button at the top of the sidebar: a raised rounded bar with the pencil symbol.
class NewSessionButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit NewSessionButton(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {200, 38}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool m_hovering = false;
};

// The popover under the new-session button: the store's workspaces, then "选择其他文件夹…"
// and "不使用工作区". It follows the store's workspace list while open. Every choice closes it
// first and then starts the store's work.
class NewSessionPopover : public QFrame
{
    Q_OBJECT
public:
    static constexpr int kWidth = 340;
    // n × 50 + 126, raised to 174, then lowered to 430.
    static int heightFor(int workspaceCount);

    // dismissed: called once whenever the popover closes, by a choice or from outside.
    NewSessionPopover(SessionDirectory *directory, std::function<void()> dismissed, QWidget *parent);

    void showBelow(QWidget *anchor);
    // Workspace ids of the rows shown, in order.
    QStringList workspaceIds() const;

protected:
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void rebuild();
    void chooseWorkspace(const QString &workspaceId);
    void chooseWithoutWorkspace();
    void chooseFolder();

    QPointer<SessionDirectory> m_directory;
    std::function<void()> m_dismissed;
    QScrollArea *m_scroll;
    QWidget *m_listContent;
    QVBoxLayout *m_listLayout;
    std::vector<WorkspaceView> m_shown;
};

// A folder chooser for a new workspace: window-modal, directories only; the chosen folder's
// path goes to the store's workspace creation.
void chooseWorkspaceFolder(QWidget *window, SessionDirectory *directory);

} // namespace nbd
