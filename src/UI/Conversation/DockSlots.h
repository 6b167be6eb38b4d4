#pragma once

#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace nbd {

class AppModel;
class SessionModel;
struct PendingApproval;
struct PendingQuestion;
struct SelectedSubagent;
struct TrajectoryEventSelection;

// The views other families put into the conversation. Each function makes one widget; the
// conversation keeps it while its identity (the session, the question, the approval) stays
// and deletes it otherwise. Replace a body here to plug the real view in.
namespace DockSlots {

// The prompt composer of a session, in the bottom dock when no card takes its place.
QWidget *createComposer(AppModel *appModel, std::shared_ptr<SessionModel> session, QWidget *parent);
// Hands a composer made by createComposer another session: it keeps its draft and drops what
// belonged to the old session. False when the widget cannot take it (then make a new one).
bool setComposerSession(QWidget *composer, std::shared_ptr<SessionModel> session);
// The goal bar with its todo checklist, above the queued messages.
QWidget *createGoalBanner(AppModel *appModel, std::shared_ptr<SessionModel> session, QWidget *parent);
// The card answering one pending question (it takes the composer's place).
QWidget *createQuestionCard(AppModel *appModel, const PendingQuestion &question, QWidget *parent);
// The card answering one tool approval.
QWidget *createApprovalCard(AppModel *appModel, const PendingApproval &approval, QWidget *parent);

// ---- Run inspection ----
// The trajectory surface of a session; onSelect receives the event the user picks.
QWidget *createTrajectoryView(AppModel *appModel, std::shared_ptr<SessionModel> session,
                              std::function<void(TrajectoryEventSelection)> onSelect, QWidget *parent);
// The one-line run summary under the composer; action runs when it is clicked.
QWidget *createRuntimeSummaryBar(AppModel *appModel, std::shared_ptr<SessionModel> session,
                                 std::function<void()> action, QWidget *parent);
// The catalogue of a session's subagents, in the header.
QWidget *createSubagentCatalog(AppModel *appModel, const QString &rootSessionId, QWidget *parent);
// The read-only composer of a subagent run.
QWidget *createSubagentReadOnlyComposer(AppModel *appModel, const SelectedSubagent &selection, QWidget *parent);

} // namespace DockSlots

} // namespace nbd
