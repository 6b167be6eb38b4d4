// The application puts the families together: the conversation takes its composer and cards
// from the composer family and its run views from inspection, the sidebar its settings sheet
// from settings, the tools panel its run inspector from inspection.
#include "App/AppViewSlots.h"

#include "Session/SessionModel.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Inspection/RuntimeInspectorView.h"
#include "UI/Inspection/RuntimeSummaryBar.h"
#include "UI/Inspection/SubagentCatalogView.h"
#include "UI/Inspection/SubagentReadOnlyComposer.h"
#include "UI/Inspection/TrajectoryView.h"
#include "UI/Settings/SettingsView.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

ViewSlots appViewSlots()
{
    ViewSlots views;
    views.composer = [](SessionSelection *selection, SessionActions *sessionActions,
                        std::shared_ptr<SessionModel> session, QWidget *parent) -> QWidget * {
        return new ComposerView(selection, sessionActions, std::move(session), parent);
    };
    views.setComposerSession = [](QWidget *composer, std::shared_ptr<SessionModel> session) {
        auto *view = qobject_cast<ComposerView *>(composer);
        if (!view)
            return false;
        view->setSession(std::move(session));
        return true;
    };
    views.goalBanner = [](SessionActions *sessionActions, std::shared_ptr<SessionModel> session,
                          QWidget *parent) -> QWidget * {
        return new GoalBannerView(sessionActions, std::move(session), parent);
    };
    views.questionCard = [](Interactions *interactions, const PendingQuestion &question, QWidget *parent) -> QWidget * {
        return new QuestionCard(interactions, question, parent);
    };
    views.approvalCard = [](Interactions *interactions, const PendingApproval &approval, QWidget *parent) -> QWidget * {
        return new ApprovalCard(interactions, approval, parent);
    };
    views.trajectoryView = [](std::shared_ptr<SessionModel> session,
                              std::function<void(TrajectoryEventSelection)> onSelect, QWidget *parent) -> QWidget * {
        return new TrajectoryView(std::move(session), [onSelect = std::move(onSelect)](const TrajectoryEventSelection &event) {
            if (onSelect)
                onSelect(event);
        }, parent);
    };
    views.runtimeSummaryBar = [](std::shared_ptr<SessionModel> session, std::function<void()> action,
                                 QWidget *parent) -> QWidget * {
        auto *bar = new RuntimeSummaryBar(std::move(session), std::move(action), parent);
        bar->setObjectName(u"runtime-summary-bar"_s);
        return bar;
    };
    views.subagentCatalog = [](SessionDirectory *directory, SessionSelection *selection, const QString &rootSessionId,
                               QWidget *parent) -> QWidget * {
        return new SubagentCatalogView(directory, selection, rootSessionId, parent);
    };
    views.subagentReadOnlyComposer = [](const SelectedSubagent &selection, QWidget *parent) -> QWidget * {
        return new SubagentReadOnlyComposer(selection, parent);
    };
    views.settings = [](const SettingsOwners &owners, QWidget *parent) -> QWidget * {
        return new SettingsView(owners, parent);
    };
    views.runtimeInspector = [](SessionDirectory *directory, std::shared_ptr<SessionModel> session,
                                Binding<RuntimeInspectorPanel> panel, std::optional<TrajectoryEventSelection> event,
                                QWidget *parent) -> QWidget * {
        return new RuntimeInspectorView(directory, std::move(session), std::move(panel), std::move(event), true,
                                        {kAllRuntimeInspectorPanels.begin(), kAllRuntimeInspectorPanels.end()}, parent);
    };
    views.updateRuntimeInspector = [](QWidget *inspector, std::shared_ptr<SessionModel> session,
                                      std::optional<TrajectoryEventSelection> event) {
        auto *view = qobject_cast<RuntimeInspectorView *>(inspector);
        if (!view)
            return false;
        view->setSession(std::move(session));
        view->setEvent(std::move(event));
        view->refresh();
        return true;
    };
    return views;
}

} // namespace nbd
