#include "UI/Composer/QuestionFlow.h"

#include "Domain/Trimming.h"

#include <algorithm>
#include <charconv>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

QString decimal(qsizetype value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

bool isBlank(const QString &text) { return text::trimWhitespaceAndNewlines(text).isEmpty(); }

} // namespace

OptionDisplay optionDisplay(const QString &label)
{
    for (QStringView suffix : {u" (Recommended)", u"（推荐）", u" (推荐)"}) {
        if (label.endsWith(suffix))
            return {label.chopped(suffix.size()), true};
    }
    return {label, false};
}

void QuestionFlow::setQuestion(PendingQuestion question)
{
    const bool sameRequest = question.id == m_question.id;
    m_question = std::move(question);
    if (!sameRequest) {
        m_index = 0;
        m_drafts.clear();
        m_feedback.reset();
        return;
    }
    m_index = std::clamp<qsizetype>(m_index, 0, std::max<qsizetype>(0, count() - 1));
}

const PendingQuestion::AskUserQuestion *QuestionFlow::current() const
{
    if (m_index < 0 || m_index >= count())
        return nullptr;
    return &m_question.questions[size_t(m_index)];
}

QuestionDraft QuestionFlow::draft(const PendingQuestion::AskUserQuestion &question) const
{
    return m_drafts.value(question.id);
}

bool QuestionFlow::answered(const PendingQuestion::AskUserQuestion &question) const
{
    const QuestionDraft d = draft(question);
    return !d.selected.empty() || !isBlank(d.custom);
}

bool QuestionFlow::isSelected(const PendingQuestion::AskUserQuestion &question, const QString &label) const
{
    const QuestionDraft d = draft(question);
    return std::find(d.selected.begin(), d.selected.end(), label) != d.selected.end();
}

QString QuestionFlow::counterText() const
{
    return decimal(m_index + 1) + u" / "_s + decimal(count());
}

void QuestionFlow::store(const PendingQuestion::AskUserQuestion &question, QuestionDraft draft)
{
    m_drafts.insert(question.id, std::move(draft));
}

void QuestionFlow::choose(const QString &label)
{
    const PendingQuestion::AskUserQuestion *question = current();
    if (!question)
        return;
    QuestionDraft d = draft(*question);
    if (question->multiSelect) {
        const auto end = std::remove(d.selected.begin(), d.selected.end(), label);
        if (end != d.selected.end())
            d.selected.erase(end, d.selected.end());
        else
            d.selected.push_back(label);
    } else {
        d.selected = {label};
        d.custom.clear();
    }
    d.skipped = false;
    const bool multi = question->multiSelect;
    store(*question, std::move(d));
    m_feedback.reset();
    if (!multi && m_index < count() - 1)
        ++m_index;
}

void QuestionFlow::setCustom(const QString &text)
{
    const PendingQuestion::AskUserQuestion *question = current();
    if (!question)
        return;
    QuestionDraft d;
    if (question->multiSelect)
        d.selected = draft(*question).selected;
    d.custom = text;
    store(*question, std::move(d));
    m_feedback.reset();
}

std::optional<QuestionFlow::Submission> QuestionFlow::skip()
{
    const PendingQuestion::AskUserQuestion *question = current();
    if (!question)
        return submit();
    store(*question, QuestionDraft{{}, {}, true});
    m_feedback.reset();
    if (m_index >= count() - 1)
        return submit();
    ++m_index;
    return std::nullopt;
}

std::optional<QuestionFlow::Submission> QuestionFlow::continueFlow()
{
    const PendingQuestion::AskUserQuestion *question = current();
    if (!question)
        return submit();
    if (!answered(*question)) {
        m_feedback = unansweredFeedback.toString();
        return std::nullopt;
    }
    if (m_index >= count() - 1)
        return submit();
    ++m_index;
    m_feedback.reset();
    return std::nullopt;
}

void QuestionFlow::previous()
{
    if (m_index >= 1) {
        --m_index;
        m_feedback.reset();
    }
}

void QuestionFlow::next()
{
    if (m_index < count() - 1) {
        ++m_index;
        m_feedback.reset();
    }
}

std::optional<QuestionFlow::Submission> QuestionFlow::submit()
{
    Submission submission;
    for (qsizetype i = 0; i < count(); ++i) {
        const PendingQuestion::AskUserQuestion &question = m_question.questions[size_t(i)];
        if (!answered(question) && !draft(question).skipped) {
            m_index = i;
            m_feedback = incompleteFeedback.toString();
            return std::nullopt;
        }
    }
    for (const PendingQuestion::AskUserQuestion &question : m_question.questions) {
        const QuestionDraft d = draft(question);
        const QString trimmed = text::trimWhitespaceAndNewlines(d.custom).toString();
        QuestionAnswer answer;
        answer.id = question.id;
        if (!trimmed.isEmpty()) {
            answer.custom = trimmed;
            if (question.multiSelect)
                answer.selected = d.selected;
        } else {
            answer.selected = d.selected;
        }
        submission.answers.push_back(std::move(answer));
    }
    return submission;
}

} // namespace nbd
