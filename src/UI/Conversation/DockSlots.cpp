// The composer family's views, and stand-ins for the run-inspection views: each stand-in is
// small and honest about what it is.
#include "UI/Conversation/DockSlots.h"

#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/PlaceholderSupport.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/WorkspaceTools.h"

#include <QHBoxLayout>
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
    return new ComposerView(appModel, std::move(session), parent);
}

QWidget *createGoalBanner(AppModel *appModel, std::shared_ptr<SessionModel> session, QWidget *parent)
{
    return new GoalBannerView(appModel, std::move(session), parent);
}

QWidget *createQuestionCard(AppModel *appModel, const PendingQuestion &question, QWidget *parent)
{
    return new QuestionCard(appModel, question, parent);
}

QWidget *createApprovalCard(AppModel *appModel, const PendingApproval &approval, QWidget *parent)
{
    return new ApprovalCard(appModel, approval, parent);
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
