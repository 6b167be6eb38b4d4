#pragma once

#include "Domain/ProtocolNames.h"
#include "Session/Transcript.h"
#include "Store/SessionActions.h"

#include <QString>

#include <optional>
#include <span>
#include <vector>

// What the goal bar and the todo panel show, and the goal bar's in-place edit, apart from
// the widgets that draw them.
namespace nbd::goal {

// ---- Goal bar ----

QString phaseLabel(const QString &phase);
// The tooltip of the objective: the reason a blocked goal gives, else the objective itself.
QString objectiveToolTip(const GoalSnapshot &goal);
GoalRef refOf(const GoalSnapshot &goal);
// The bar is drawn for a goal that is not complete.
bool showsGoalBar(const std::optional<GoalProjection> &goal);
// The banner is drawn while there is a todo or a goal that is not complete.
bool showsBanner(const std::optional<GoalProjection> &goal, std::span<const TodoItem> todos);

enum class GoalButton { Pause, Resume, Edit, Clear, Cancel, Save };
// The buttons of the bar in their order, for the goal's phase and whether its edit is open.
std::vector<GoalButton> goalButtons(const QString &phase, bool editing);
QString buttonSymbol(GoalButton button);
QString buttonToolTip(GoalButton button);
// The action word a button sends; nothing for the three that only change the edit.
std::optional<QString> buttonAction(GoalButton button);

// The in-place edit of the objective. The edit is open for the goal whose id it holds.
class GoalEdit
{
public:
    const std::optional<QString> &editingGoalId() const { return m_editingGoalId; }
    const QString &draft() const { return m_draft; }
    bool isEditing(const GoalSnapshot &goal) const { return m_editingGoalId == goal.id; }

    // Refills the draft from the objective and opens the edit.
    void open(const GoalSnapshot &goal);
    // Closes the edit; the draft stays as typed.
    void cancel() { m_editingGoalId.reset(); }
    void setDraft(const QString &draft) { m_draft = draft; }
    bool canSave() const;
    // The objective to send, trimmed, closing the edit; nothing (and the edit stays open)
    // when the draft is blank.
    std::optional<QString> save();
    // A new goal, or none: the edit closes and its draft empties without sending anything.
    void goalIdChanged();

private:
    std::optional<QString> m_editingGoalId;
    QString m_draft;
};

// ---- Todo panel ----

struct TodoCounts
{
    qsizetype completed = 0;
    qsizetype inProgress = 0;
    qsizetype pending = 0;
};
TodoCounts todoCounts(std::span<const TodoItem> todos);
inline constexpr QStringView completedLabel = names::todoCompletedLabel;
inline constexpr QStringView inProgressLabel = names::todoInProgressLabel;
inline constexpr QStringView pendingLabel = u" 待处理";
// "2 已完成  ·  1 进行中  ·  2 待处理", leaving out every part whose count is zero.
QString todoSummary(std::span<const TodoItem> todos);
// The height of the expanded list: the rows up to 180 points, then it scrolls.
int todoListHeight(qsizetype count);

enum class TodoGlyph { Completed, InProgress, Pending };
TodoGlyph todoGlyph(const TodoItem &todo);

} // namespace nbd::goal
