// Stand-ins for the views the composer and run-inspection families provide: each is small,
// honest about what it is, and keeps the conversation usable (the composer sends prompts).
#include "UI/Conversation/DockSlots.h"

#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/PlaceholderSupport.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/WorkspaceTools.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

using namespace Qt::Literals::StringLiterals;

namespace nbd::DockSlots {

namespace {

// A rounded, hairline-framed card with a line of text.
class PlainCard : public QWidget
{
public:
    PlainCard(const QString &objectName, const QString &text, QWidget *parent) : QWidget(parent)
    {
        setObjectName(objectName);
        setMaximumWidth(748);
        auto *row = new QHBoxLayout(this);
        row->setContentsMargins(14, 10, 14, 10);
        m_label = TextLabels::make(text, Fonts::callout(), Theme::secondaryText(), TextLabels::Wrap, this);
        row->addWidget(m_label);
    }
    QLabel *label() const { return m_label; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::strongHairline(), 1));
        painter.setBrush(Theme::raised());
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    }

private:
    QLabel *m_label;
};

} // namespace

QWidget *createComposer(AppModel *appModel, std::shared_ptr<SessionModel> session, QWidget *parent)
{
    auto *card = new PlainCard(u"composer"_s, QString(), parent);
    card->label()->hide();
    auto *field = new QLineEdit(card);
    field->setObjectName(u"composer-field"_s);
    field->setPlaceholderText(u"输入消息，按 Enter 发送"_s);
    field->setAccessibleName(u"消息"_s);
    field->setFrame(false);
    field->setFont(Fonts::body());
    field->setMinimumHeight(30);
    card->layout()->addWidget(field);
    const QString sessionId = session ? session->sessionId() : QString();
    QObject::connect(field, &QLineEdit::returnPressed, card, [field, sessionId, store = QPointer<AppModel>(appModel)] {
        const QString text = field->text();
        if (!store || text.trimmed().isEmpty())
            return;
        store->sendPrompt(text, sessionId);
        field->clear();
    });
    return card;
}

QWidget *createGoalBanner(AppModel *, std::shared_ptr<SessionModel> session, QWidget *parent)
{
    QString text = u"目标"_s;
    if (session && session->goal())
        text += u"："_s + session->goal()->goal.objective;
    if (session && !session->todos().empty())
        text += u" · 待办 "_s + QString::number(session->todos().size()) + u" 项"_s;
    return new PlainCard(u"goal-banner"_s, text, parent);
}

QWidget *createQuestionCard(AppModel *, const PendingQuestion &question, QWidget *parent)
{
    QString text = u"智能体在提问"_s;
    if (!question.questions.empty())
        text += u"："_s + question.questions.front().question;
    return new PlainCard(u"question-card"_s, text, parent);
}

QWidget *createApprovalCard(AppModel *, const PendingApproval &approval, QWidget *parent)
{
    QString text = u"等待批准工具调用："_s + approval.toolName;
    if (approval.reason)
        text += u"\n"_s + *approval.reason;
    return new PlainCard(u"approval-card"_s, text, parent);
}

QWidget *createTrajectoryView(AppModel *, std::shared_ptr<SessionModel>, std::function<void(TrajectoryEventSelection)>,
                              QWidget *parent)
{
    auto *surface = new PlaceholderSurface(u"轨迹视图（占位）"_s, PlaceholderSurface::Fill::Canvas, parent);
    surface->setObjectName(u"trajectory"_s);
    return surface;
}

QWidget *createRuntimeSummaryBar(AppModel *, std::shared_ptr<SessionModel> session, std::function<void()> action,
                                 QWidget *parent)
{
    QString text = u"运行概况"_s;
    if (session && session->usage())
        text += u" · 输入 "_s + QString::number(session->usage()->inputTokens) + u" · 输出 "_s
            + QString::number(session->usage()->outputTokens) + u" tokens"_s;
    auto *button = new QPushButton(text, parent);
    button->setObjectName(u"runtime-summary-bar"_s);
    button->setFlat(true);
    button->setFont(Fonts::subheadline());
    QObject::connect(button, &QPushButton::clicked, button, [action] {
        if (action)
            action();
    });
    return button;
}

QWidget *createSubagentCatalog(AppModel *, const QString &, QWidget *)
{
    return nullptr;
}

QWidget *createSubagentReadOnlyComposer(AppModel *, const SelectedSubagent &selection, QWidget *parent)
{
    return new PlainCard(u"subagent-readonly-composer"_s, u"子代理运行只读："_s + selection.label, parent);
}

} // namespace nbd::DockSlots
