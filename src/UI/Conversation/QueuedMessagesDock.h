#pragma once

#include "Domain/Subagents.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

class QPlainTextEdit;
class QVBoxLayout;

namespace nbd {

class SessionActions;
class SessionModel;
class SymbolButton;

// The user's queued prompts above the composer: each can be edited, removed, or sent at once
// into the running turn. It keeps no copy of the queue: every action goes to the store and
// the list changes when the host reports the new queue.
class QueuedMessagesDock : public QWidget
{
    Q_OBJECT
public:
    QueuedMessagesDock(SessionActions *sessionActions, std::shared_ptr<SessionModel> session, QWidget *parent = nullptr);
    ~QueuedMessagesDock() override;

    bool isCollapsed() const { return m_collapsed; }
    const std::optional<QString> &editingId() const { return m_editingId; }
    const QString &draft() const { return m_draft; }
    QString trimmedDraft() const;

    static QString headerText(qsizetype count);
    // Commits the edit of one message: nothing when the trimmed draft is empty.
    void save(const QString &messageId);


protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void queueChanged();
    void rebuild();
    QWidget *queueRow(const PendingUserMessage &message, bool showsLeadIcon);
    void startEditing(const PendingUserMessage &message);
    void fitEditor();

    QPointer<SessionActions> m_sessionActions;
    std::shared_ptr<SessionModel> m_session;
    QList<QMetaObject::Connection> m_connections;
    QVBoxLayout *m_column;
    QWidget *m_body = nullptr;
    QPlainTextEdit *m_editor = nullptr;
    SymbolButton *m_saveButton = nullptr;
    bool m_collapsed = true;
    std::optional<QString> m_editingId;
    QString m_draft;
    qsizetype m_count = 0;
};

} // namespace nbd
