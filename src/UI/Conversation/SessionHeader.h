#pragma once

#include "UI/Conversation/ConversationSurface.h"

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QHBoxLayout;
class QMenu;

namespace nbd {

class ChromeIconButton;
class ElidedLabel;
class SessionActions;
class SessionDirectory;
class SessionModel;
class SessionSelection;
class StoreErrors;
class SubagentCatalogView;

// A tab of the surface switch: its label, the accent colour and underline while selected.
class SurfaceTab : public QAbstractButton
{
    Q_OBJECT
public:
    SurfaceTab(ConversationSurface surface, QWidget *parent = nullptr);
    ConversationSurface surface() const { return m_surface; }
    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    ConversationSurface m_surface;
    bool m_selected = false;
};

// The 70-point strip over a session: back button (subagent runs), title, the session's actions
// menu, the subagent catalogue, the log export button and the panel toggles; below, the switch
// between the conversation and the trajectory.
class SessionHeader : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 70;

    SessionHeader(SessionDirectory *directory, SessionSelection *selection, SessionActions *sessionActions,
                  StoreErrors *errors, QWidget *parent = nullptr);
    ~SessionHeader() override;

    void setSession(std::shared_ptr<SessionModel> session);
    void setSelectedSurface(ConversationSurface surface);
    // The toggles live in the header while a session shows (they move to the empty state
    // otherwise).
    void adoptTrailingControls(QWidget *terminalToggle, QWidget *toolsToggle);

    static QString titleFor(const SessionDirectory &directory, const SessionSelection &selection,
                            const SessionModel &session);
    QString title() const;
    ChromeIconButton *backButton() const { return m_back; }
    ChromeIconButton *menuButton() const { return m_menuButton; }
    QMenu *actionsMenu() const { return m_menu; }
    QAbstractButton *logButton() const { return m_logButton; }
    SurfaceTab *tab(ConversationSurface surface) const;

    // Downloads the log and asks where to save it; an atomic write, whose failure shows in
    // the error banner.
    void exportSession();
    // Where the save dialog starts (tests point it at a temporary folder).
    void setExportDirectory(const QString &directory) { m_exportDirectory = directory; }

Q_SIGNALS:
    void surfaceSelected(ConversationSurface surface);
    // The save dialog of an export is about to show (tests drive it).
    void exportDialogOpened(QWidget *dialog);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();
    void rebuildMenu();
    void orderFocusChain();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<SessionDirectory> m_directory;
    QPointer<SessionSelection> m_selection;
    QPointer<SessionActions> m_sessionActions;
    QPointer<StoreErrors> m_errors;
    std::shared_ptr<SessionModel> m_session;
    QMetaObject::Connection m_titleConnection;
    ChromeIconButton *m_back;
    ElidedLabel *m_title;
    // The title as the host gave it; the label shows it isolated.
    QString m_titleText;
    ChromeIconButton *m_menuButton;
    QMenu *m_menu;
    QHBoxLayout *m_firstRow;
    SubagentCatalogView *m_catalog = nullptr;
    QString m_catalogFor;
    QAbstractButton *m_logButton;
    QPointer<QWidget> m_terminalToggle;
    QPointer<QWidget> m_toolsToggle;
    SurfaceTab *m_chatTab;
    SurfaceTab *m_trajectoryTab;
    QString m_exportDirectory;
};

} // namespace nbd
