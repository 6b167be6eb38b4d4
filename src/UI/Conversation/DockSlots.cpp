// The views the conversation takes from the composer and run-inspection families.
#include "UI/Conversation/DockSlots.h"

#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Inspection/RuntimeSummaryBar.h"
#include "UI/Inspection/SubagentCatalogView.h"
#include "UI/Inspection/SubagentReadOnlyComposer.h"
#include "UI/Inspection/TrajectoryView.h"
#include "UI/Tools/WorkspaceTools.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd::DockSlots {

QWidget *createComposer(AppModel *appModel, std::shared_ptr<SessionModel> session, QWidget *parent)
{
    return new ComposerView(appModel ? appModel->selection() : nullptr, appModel ? appModel->sessionActions() : nullptr,
                            std::move(session), parent);
}

bool setComposerSession(QWidget *composer, std::shared_ptr<SessionModel> session)
{
    auto *view = qobject_cast<ComposerView *>(composer);
    if (!view)
        return false;
    view->setSession(std::move(session));
    return true;
}

QWidget *createGoalBanner(AppModel *appModel, std::shared_ptr<SessionModel> session, QWidget *parent)
{
    return new GoalBannerView(appModel ? appModel->sessionActions() : nullptr, std::move(session), parent);
}

QWidget *createQuestionCard(AppModel *appModel, const PendingQuestion &question, QWidget *parent)
{
    return new QuestionCard(appModel ? appModel->interactions() : nullptr, question, parent);
}

QWidget *createApprovalCard(AppModel *appModel, const PendingApproval &approval, QWidget *parent)
{
    return new ApprovalCard(appModel ? appModel->interactions() : nullptr, approval, parent);
}

QWidget *createTrajectoryView(AppModel *, std::shared_ptr<SessionModel> session,
                              std::function<void(TrajectoryEventSelection)> onSelect, QWidget *parent)
{
    return new TrajectoryView(std::move(session), [onSelect = std::move(onSelect)](const TrajectoryEventSelection &event) {
        if (onSelect)
            onSelect(event);
    }, parent);
}

QWidget *createRuntimeSummaryBar(AppModel *, std::shared_ptr<SessionModel> session, std::function<void()> action,
                                 QWidget *parent)
{
    auto *bar = new RuntimeSummaryBar(std::move(session), std::move(action), parent);
    bar->setObjectName(u"runtime-summary-bar"_s);
    return bar;
}

QWidget *createSubagentCatalog(AppModel *appModel, const QString &rootSessionId, QWidget *parent)
{
    SessionDirectory *directory = appModel ? appModel->sessions() : nullptr;
    SessionSelection *selection = appModel ? appModel->selection() : nullptr;
    return new SubagentCatalogView(directory, selection, rootSessionId, parent);
}

QWidget *createSubagentReadOnlyComposer(AppModel *, const SelectedSubagent &selection, QWidget *parent)
{
    return new SubagentReadOnlyComposer(selection, parent);
}

} // namespace nbd::DockSlots
