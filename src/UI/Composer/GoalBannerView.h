#pragma once

#include "UI/Composer/GoalLogic.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QLabel;
class QLineEdit;
class QScrollArea;
class QVBoxLayout;

namespace nbd {

class SessionActions;
class ElidedLabel;
class RoundSymbolButton;
class SessionModel;
class TodoHeader;
class TodoRows;

// The strip above the composer: the session's todo checklist (collapsible) over its goal bar
// (phase, objective, pause or resume, edit in place, clear). Each row is drawn only while it
// has something to show; goal changes go to the host through the store.
class GoalBannerView : public QWidget
{
    Q_OBJECT
public:
    GoalBannerView(SessionActions *sessionActions, std::shared_ptr<SessionModel> session, QWidget *parent = nullptr);

    void setSession(std::shared_ptr<SessionModel> session);
    bool todosExpanded() const { return m_todosExpanded; }
    const goal::GoalEdit &goalEdit() const { return m_edit; }

private:
    void refresh();
    void refreshTodos();
    void refreshGoal();
    void goalChanged();
    void todosChanged();
    void toggleTodos();
    void sendAction(const QString &action, std::optional<QString> objective = std::nullopt);
    void saveEdit();

    QPointer<SessionActions> m_sessionActions;
    std::shared_ptr<SessionModel> m_session;
    QList<QMetaObject::Connection> m_sessionConnections;

    bool m_todosExpanded = false;
    goal::GoalEdit m_edit;
    std::optional<QString> m_goalId;
    bool m_hadTodos = false;

    QWidget *m_column;
    QWidget *m_todoPanel;
    TodoHeader *m_todoHeader;
    QScrollArea *m_todoList;
    TodoRows *m_todoRows;
    QWidget *m_goalBar;
    QLabel *m_phaseLabel;
    ElidedLabel *m_objective;
    QWidget *m_editField;
    QLineEdit *m_editLine;
    QList<RoundSymbolButton *> m_buttons;
};

} // namespace nbd
