#pragma once

#include "Store/Interactions.h"

#include <QHash>
#include <QString>

#include <optional>
#include <vector>

namespace nbd {

// The user's answer so far to one question.
struct QuestionDraft
{
    std::vector<QString> selected; // option labels, in the order chosen
    QString custom;                // as typed, not trimmed
    bool skipped = false;

    bool operator==(const QuestionDraft &) const = default;
};

// An option label as the card shows it: without a "recommended" suffix, and whether it had one.
struct OptionDisplay
{
    QString label;
    bool recommended = false;
    bool operator==(const OptionDisplay &) const = default;
};
OptionDisplay optionDisplay(const QString &label);

// The pager of a question card over one pending question set: which question is shown, the
// drafts per question id and the footer's message. Every step keeps the index inside the set.
class QuestionFlow
{
public:
    static constexpr QStringView unansweredFeedback = u"请选择一个选项或输入答案";
    static constexpr QStringView incompleteFeedback = u"请完成或跳过这道题";

    explicit QuestionFlow(PendingQuestion question = {}) : m_question(std::move(question)) {}

    // Another request starts over at its first question with no drafts; an update of the same
    // request keeps what was entered and only pulls the index back inside the set.
    void setQuestion(PendingQuestion question);

    const PendingQuestion &question() const { return m_question; }
    qsizetype index() const { return m_index; }
    qsizetype count() const { return qsizetype(m_question.questions.size()); }
    bool isEmpty() const { return m_question.questions.empty(); }
    bool isLastPage() const { return m_index == count() - 1; }
    // Nothing when the set holds no questions.
    const PendingQuestion::AskUserQuestion *current() const;
    const std::optional<QString> &feedback() const { return m_feedback; }

    QuestionDraft draft(const PendingQuestion::AskUserQuestion &question) const;
    bool answered(const PendingQuestion::AskUserQuestion &question) const;
    bool isSelected(const PendingQuestion::AskUserQuestion &question, const QString &label) const;
    // "1 / 3"
    QString counterText() const;

    // What a step asks the card to do beyond changing the flow.
    struct Submission
    {
        std::vector<QuestionAnswer> answers;
    };

    void choose(const QString &label);
    void setCustom(const QString &text);
    std::optional<Submission> skip();
    std::optional<Submission> continueFlow();
    void previous();
    void next();
    // The answers when every question is answered or skipped; otherwise shows the first open
    // question with its message and gives nothing.
    std::optional<Submission> submit();

private:
    void store(const PendingQuestion::AskUserQuestion &question, QuestionDraft draft);

    PendingQuestion m_question;
    qsizetype m_index = 0;
    QHash<QString, QuestionDraft> m_drafts;
    std::optional<QString> m_feedback;
};

} // namespace nbd
