#pragma once

#include "UI/Shared/PromptEdit.h"

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;

namespace nbd {

class SessionActions;
class SessionSelection;
class CompactMenuButton;
class PermissionSwitch;
class RoundSymbolButton;
class SessionModel;
struct PermissionOption;

// The prompt field: grows from one line to fourteen, then scrolls. Return or Enter submits,
// Shift+Return starts a new line; while an input method composes, Return belongs to it and
// never submits.
class PromptField : public PromptEdit
{
    Q_OBJECT
public:
    explicit PromptField(QWidget *parent = nullptr);

Q_SIGNALS:
    void focusChanged(bool focused);

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
};

// The confirmation before a full-access preset: window-modal, opened with open(); its
// confirm button stays disabled until the risk box is ticked, and every dismissal unticks it.
class FullAccessConfirmation : public QDialog
{
    Q_OBJECT
public:
    explicit FullAccessConfirmation(QWidget *parent);
    QCheckBox *acknowledgeBox() const { return m_box; }
    QPushButton *confirmButton() const { return m_confirm; }
    QPushButton *cancelButton() const { return m_cancel; }
    void done(int result) override;

private:
    QCheckBox *m_box;
    QPushButton *m_confirm;
    QPushButton *m_cancel;
};

// The input card at the bottom of the conversation: the prompt field above a row of the
// run-mode menu, the permission menu (or the subagent chip), the model picker and the send or
// stop button. It writes to the session it is given through the store.
class ComposerView : public QWidget
{
    Q_OBJECT
public:
    ComposerView(SessionSelection *selection, SessionActions *sessionActions, std::shared_ptr<SessionModel> session,
                 QWidget *parent = nullptr);
    ~ComposerView() override;

    // Another session for a composer that stays in place: the draft stays, a pending
    // permission switch and an open full-access confirmation are dropped.
    void setSession(std::shared_ptr<SessionModel> session);
    const std::shared_ptr<SessionModel> &session() const { return m_session; }

    PromptField *promptField() const { return m_field; }
    PermissionSwitch *permissionSwitch() const { return m_permissionSwitch; }
    FullAccessConfirmation *fullAccessConfirmation() const { return m_confirmation; }

private:
    void submit();
    void refresh();
    void refreshActionButton();
    void refreshModeMenu();
    void refreshPermissionMenu();
    void refreshModelPicker();
    void refreshSubagent();
    void fillModeMenu();
    void fillPermissionMenu();
    void fillModelMenu();
    void syncConfirmation();
    void connectSession();

    QPointer<SessionSelection> m_selection;
    QPointer<SessionActions> m_sessionActions;
    std::shared_ptr<SessionModel> m_session;
    QList<QMetaObject::Connection> m_sessionConnections;
    PermissionSwitch *m_permissionSwitch;

    QWidget *m_card;
    PromptField *m_field;
    CompactMenuButton *m_modeMenu;
    CompactMenuButton *m_permissionMenu;
    CompactMenuButton *m_modelPicker;
    QWidget *m_subagentChip;
    RoundSymbolButton *m_actionButton;
    QPointer<FullAccessConfirmation> m_confirmation;
    bool m_syncingConfirmation = false;
};

} // namespace nbd
