#pragma once

#include "Store/Interactions.h"
#include "UI/Composer/QuestionFlow.h"

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <array>

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QScrollArea;
class QVBoxLayout;

namespace nbd {

class CardButton;
class ChromeIconButton;
class ElidedLabel;
class MarkdownText;

// One option of the shown question: a number badge (single choice) or a check box (multiple
// choice), the label with its "推荐" tag and the description. A radio button or a check box to
// assistive technology, ticked as the card's flow says; a click asks the card rather than
// ticking the box itself.
class QuestionOptionRow : public QAbstractButton
{
    Q_OBJECT
public:
    QuestionOptionRow(int number, const PendingQuestion::AskUserQuestion::Option &option, bool multiSelect,
                      QWidget *parent = nullptr);
    const QString &label() const { return m_label; }
    bool isRecommended() const { return m_display.recommended; }
    QString displayLabel() const { return m_display.label; }
    void setSelected(bool selected);
    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void nextCheckState() override {}

private:
    int textWidth(int width) const;

    int m_number;
    QString m_label;
    OptionDisplay m_display;
    std::optional<QString> m_description;
    bool m_multiSelect;
};

class PagedColumn;

// A pending question set of the agent as a pager: one question at a time with its options, a
// free-text answer, skip, previous and next; the last page submits every answer at once, and
// the close button cancels the whole set.
class QuestionCard : public QWidget
{
    Q_OBJECT
public:
    QuestionCard(Interactions *interactions, PendingQuestion question, QWidget *parent = nullptr);

    // Another request starts from its first question.
    void setQuestion(PendingQuestion question);
    const QuestionFlow &flow() const { return m_flow; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void rebuildPage();
    QWidget *optionRow(qsizetype index, QWidget *owner);
    void orderTabs();
    void refreshState();
    void fitBody();
    void apply(std::optional<QuestionFlow::Submission> submission);

    QPointer<Interactions> m_interactions;
    QuestionFlow m_flow;
    qsizetype m_shownIndex = -1;
    QString m_shownQuestionId;

    QLabel *m_header;
    QLabel *m_questionText;
    QScrollArea *m_body;
    QWidget *m_bodyContent;
    QVBoxLayout *m_bodyLayout;
    MarkdownText *m_detail;
    // Options made so far, in order, and the column that makes them a page at a time.
    QList<QuestionOptionRow *> m_options;
    QPointer<PagedColumn> m_optionList;
    QWidget *m_customRow;
    QLineEdit *m_customField;
    ChromeIconButton *m_previous;
    QLabel *m_counter;
    ChromeIconButton *m_next;
    QLabel *m_feedback;
    CardButton *m_skip;
    CardButton *m_primary;
};

// A tool approval the host waits for: the tool's name, the host's reason, reject or allow once.
class ApprovalCard : public QWidget
{
    Q_OBJECT
public:
    ApprovalCard(Interactions *interactions, PendingApproval approval, QWidget *parent = nullptr);
    void setApproval(PendingApproval approval);
    const PendingApproval &approval() const { return m_approval; }
    static QString titleText(const QString &toolName);
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    int buttonsWidth() const;
    void placeButtons();

    QPointer<Interactions> m_interactions;
    PendingApproval m_approval;
    QHBoxLayout *m_row;
    QHBoxLayout *m_buttonRow;
    std::array<QWidget *, 2> m_buttons{};
    bool m_buttonsBeside = true;
    int m_titleWidth = 0;
    ElidedLabel *m_title;
    QLabel *m_reason;
};

} // namespace nbd
