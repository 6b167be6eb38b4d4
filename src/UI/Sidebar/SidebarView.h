#pragma once

#include "Domain/Models.h"
#include "Store/ConnectionStatus.h"
#include "UI/Shared/Binding.h"
#include "UI/Shared/SettingsOwners.h"
#include "UI/Sidebar/NewSessionPopover.h"
#include "UI/Sidebar/SidebarRowViews.h"

#include <QCoroTask>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QGraphicsOpacityEffect;
class QLineEdit;
class QTimer;
class QVariantAnimation;

namespace nbd {

class AccountBar;
class ChromeIconButton;
class NewSessionButton;
class NewSessionPopover;
class SearchField;
class SearchReveal;
class SessionDirectory;
class SessionSelection;

// The account bar's colour for the connection's phase.
QColor connectionPhaseColor(const ConnectionPhase &phase);

// The expanded left column: product header, new-session button, optional search field, the
// list of workspaces and sessions, and the account bar with the connection's state.
class SidebarView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kSearchDebounceMs = 180;
    // Showing or hiding the search field and the toggle's symbol change, ease-in-out.
    static constexpr int kSearchToggleMs = 180;

    // settings: what the settings sheet opened from the account bar takes; its connection
    // owners also feed the account bar's status.
    SidebarView(SessionDirectory *directory, SessionSelection *selection, SettingsOwners settings,
                std::function<void()> onCollapse, Binding<bool> searchVisible, QWidget *parent = nullptr);
    ~SidebarView() override;

    bool searchVisible() const { return m_searchVisible.get ? m_searchVisible.get() : false; }
    // Re-reads the bound search visibility; the field appears or goes at once.
    void refresh();
    // Gives the search field the keyboard focus when it is shown.
    void focusSearchField();

    const QString &searchText() const { return m_searchText; }
    void setSearchText(const QString &text);
    const QSet<QString> &collapsedWorkspaceIds() const { return m_collapsedWorkspaceIds; }
    const QSet<QString> &remoteSearchMatches() const { return m_remoteSearchMatches; }
    bool newSessionPresented() const { return m_newSessionPresented; }
    void setNewSessionPresented(bool presented);
    NewSessionPopover *popover() const { return m_popover; }
    bool showSettings() const { return m_showSettings; }

    void toggleWorkspace(const QString &workspaceId);
    // Builds the list now rather than on the next turn of the event loop.
    void rebuildNow();
    SidebarListView *list() const { return m_list; }

    void presentWorkspaceRename(const WorkspaceView &workspace);
    void confirmWorkspaceRemoval(const WorkspaceView &workspace);

protected:
    void showEvent(QShowEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void orderFocusChain();
    void applySearchVisible(bool animated);
    void rebuild(const QString &toggledWorkspaceId);
    void scheduleRebuild();
    void refreshAccountBar();
    void searchTextEdited();
    void startRemoteSearch();
    QCoro::Task<void> runRemoteSearch(QString query, quint64 generation);
    void registerShortcut();
    void presentSettings();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<SessionDirectory> m_directory;
    QPointer<SessionSelection> m_selection;
    SettingsOwners m_settings;
    std::function<void()> m_onCollapse;
    Binding<bool> m_searchVisible;
    QString m_searchText;
    bool m_showSettings = false;
    bool m_newSessionPresented = false;
    QSet<QString> m_collapsedWorkspaceIds;
    QSet<QString> m_remoteSearchMatches;
    bool m_settingsHovered = false;

    // The trimmed query the remote search was last started for, and the generation that
    // identifies its run: a reply for an older generation is dropped.
    QString m_searchQuery;
    quint64 m_searchGeneration = 0;
    QTimer *m_searchTimer;
    bool m_rebuildPending = false;
    bool m_shortcutChecked = false;

    WorkspaceHeaderActions m_headerActions;
    NewSessionButton *m_newSessionButton;
    QPointer<NewSessionPopover> m_popover;
    ChromeIconButton *m_searchToggle;
    SearchField *m_searchField;
    SearchReveal *m_searchReveal;
    QVariantAnimation *m_searchAnimation;
    // The toggle fades out with its old symbol and back in with the new one.
    QVariantAnimation *m_toggleAnimation;
    QGraphicsOpacityEffect *m_toggleEffect;
    QString m_toggleSymbol;
    // Set while the header's button flips the bound visibility, so that the main window's
    // re-read of it (from inside the setter) animates like the button does.
    bool m_searchToggling = false;
    SidebarListView *m_list;
    AccountBar *m_accountBar;
    QPointer<ConnectionStatus> m_connectionStatus;
};

} // namespace nbd
