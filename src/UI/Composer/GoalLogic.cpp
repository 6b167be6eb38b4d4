#include "UI/Composer/GoalLogic.h"

#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"
#include "UI/Shared/EnumTable.h"

#include <algorithm>
#include <charconv>

using namespace Qt::Literals::StringLiterals;

namespace nbd::goal {

namespace {

// A count as bare decimal digits, whatever the locale.
QString decimal(qsizetype value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

} // namespace

QString phaseLabel(const QString &phase)
{
    if (phase == u"active")
        return u"目标进行中"_s;
    if (phase == u"paused")
        return u"目标已暂停"_s;
    if (phase == u"blocked")
        return u"目标受阻"_s;
    return u"目标"_s;
}

QString objectiveToolTip(const GoalSnapshot &goal)
{
    return goal.blockedReason.value_or(goal.objective);
}

GoalRef refOf(const GoalSnapshot &goal) { return GoalRef{goal.id, goal.revision}; }

bool showsGoalBar(const std::optional<GoalProjection> &goal)
{
    return goal && goal->goal.phase != u"complete";
}

bool showsBanner(const std::optional<GoalProjection> &goal, std::span<const TodoItem> todos)
{
    return !todos.empty() || showsGoalBar(goal);
}

std::vector<GoalButton> goalButtons(const QString &phase, bool editing)
{
    if (editing)
        return {GoalButton::Cancel, GoalButton::Save};
    std::vector<GoalButton> buttons;
    if (phase == u"active")
        buttons.push_back(GoalButton::Pause);
    else if (phase == u"paused")
        buttons.push_back(GoalButton::Resume);
    buttons.push_back(GoalButton::Edit);
    buttons.push_back(GoalButton::Clear);
    return buttons;
}

namespace {

struct ButtonTexts
{
    GoalButton value;
    QStringView symbol;
    QStringView toolTip;
    QStringView action; // null for the buttons that only change the edit
};

constexpr ButtonTexts buttonTexts[] = {
    {GoalButton::Pause, u"pause", u"暂停目标", u"pause"},
    {GoalButton::Resume, u"play", u"恢复目标", u"resume"},
    {GoalButton::Edit, u"pencil", u"编辑目标", {}},
    {GoalButton::Clear, u"trash", u"清除目标", u"clear"},
    {GoalButton::Cancel, u"xmark", names::goalEditCancelToolTip, {}},
    {GoalButton::Save, u"checkmark", u"保存目标", {}},
};
static_assert(listsEnumInOrder(buttonTexts, GoalButton::Save));

} // namespace

QString buttonSymbol(GoalButton button) { return enumText(buttonTexts, button, &ButtonTexts::symbol); }

QString buttonToolTip(GoalButton button) { return enumText(buttonTexts, button, &ButtonTexts::toolTip); }

std::optional<QString> buttonAction(GoalButton button)
{
    const ButtonTexts *row = enumRow(buttonTexts, button);
    if (!row || row->action.isNull())
        return std::nullopt;
    return row->action.toString();
}

void GoalEdit::open(const GoalSnapshot &goal)
{
    m_draft = goal.objective;
    m_editingGoalId = goal.id;
}

bool GoalEdit::canSave() const { return !text::trimWhitespaceAndNewlines(m_draft).isEmpty(); }

std::optional<QString> GoalEdit::save()
{
    const QStringView trimmed = text::trimWhitespaceAndNewlines(m_draft);
    if (trimmed.isEmpty())
        return std::nullopt;
    m_editingGoalId.reset();
    return trimmed.toString();
}

void GoalEdit::goalIdChanged()
{
    m_editingGoalId.reset();
    m_draft.clear();
}

TodoCounts todoCounts(std::span<const TodoItem> todos)
{
    TodoCounts counts;
    for (const TodoItem &todo : todos) {
        if (todo.status == names::todoCompleted)
            ++counts.completed;
        else if (todo.status == names::todoInProgress)
            ++counts.inProgress;
    }
    counts.pending = qsizetype(todos.size()) - counts.completed - counts.inProgress;
    return counts;
}

QString todoSummary(std::span<const TodoItem> todos)
{
    const TodoCounts counts = todoCounts(todos);
    QStringList parts;
    if (counts.completed > 0)
        parts << decimal(counts.completed).append(completedLabel);
    if (counts.inProgress > 0)
        parts << decimal(counts.inProgress).append(inProgressLabel);
    if (counts.pending > 0)
        parts << decimal(counts.pending).append(pendingLabel);
    return parts.join(u"  ·  "_s);
}

int todoListHeight(qsizetype count)
{
    if (count <= 0)
        return 0;
    const qsizetype rows = 16 * count + 8 * (count - 1) + 8;
    return int(std::min<qsizetype>(180, rows));
}

TodoGlyph todoGlyph(const TodoItem &todo)
{
    if (todo.status == names::todoCompleted)
        return TodoGlyph::Completed;
    if (todo.status == names::todoInProgress)
        return TodoGlyph::InProgress;
    return TodoGlyph::Pending;
}

} // namespace nbd::goal
