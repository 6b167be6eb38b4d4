#pragma once

#include "UI/Shared/Binding.h"
#include "UI/Shared/RuntimeInspectorPanel.h"
#include "UI/Shared/TrajectoryEventSelection.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace nbd {

class Interactions;
class SessionActions;
class SessionDirectory;
class SessionModel;
class SessionSelection;
struct SettingsOwners;
struct PendingApproval;
struct PendingQuestion;
struct SelectedSubagent;

// The views one family places inside another's. A family asks for them here rather than
// naming the other family's classes, so that each family builds on Shared alone; the
// application fills them in once at start-up with the real views (appViewSlots()). Each
// function makes one widget; the family that placed it keeps it while its identity (the
// session, the question, the approval) stays and deletes it otherwise.
struct ViewSlots
{
    // ---- In the conversation ----
    // The prompt composer of a session, in the bottom dock when no card takes its place.
    std::function<QWidget *(SessionSelection *selection, SessionActions *sessionActions,
                            std::shared_ptr<SessionModel> session, QWidget *parent)>
        composer;
    // Hands a composer made by `composer` another session: it keeps its draft and drops what
    // belonged to the old session. False when the widget cannot take it (then make a new one).
    std::function<bool(QWidget *composer, std::shared_ptr<SessionModel> session)> setComposerSession;
    // The goal bar with its todo checklist, above the queued messages.
    std::function<QWidget *(SessionActions *sessionActions, std::shared_ptr<SessionModel> session, QWidget *parent)>
        goalBanner;
    // The card answering one pending question; in the dock it takes the composer's place, and
    // the side chat shows it too.
    std::function<QWidget *(Interactions *interactions, const PendingQuestion &question, QWidget *parent)> questionCard;
    // The card answering one tool approval, in the dock and in the side chat.
    std::function<QWidget *(Interactions *interactions, const PendingApproval &approval, QWidget *parent)> approvalCard;
    // The trajectory surface of a session; onSelect receives the event the user picks.
    std::function<QWidget *(std::shared_ptr<SessionModel> session,
                            std::function<void(TrajectoryEventSelection)> onSelect, QWidget *parent)>
        trajectoryView;
    // The one-line run summary under the composer; action runs when it is clicked.
    std::function<QWidget *(std::shared_ptr<SessionModel> session, std::function<void()> action, QWidget *parent)>
        runtimeSummaryBar;
    // The catalogue of a session's subagents, in the header.
    std::function<QWidget *(SessionDirectory *directory, SessionSelection *selection, const QString &rootSessionId,
                            QWidget *parent)>
        subagentCatalog;
    // The read-only composer of a subagent run.
    std::function<QWidget *(const SelectedSubagent &selection, QWidget *parent)> subagentReadOnlyComposer;

    // ---- In the sidebar ----
    // The content of the settings sheet.
    std::function<QWidget *(const SettingsOwners &owners, QWidget *parent)> settings;

    // ---- In the tools panel ----
    // The run inspector of a session with every panel and the panel picker.
    std::function<QWidget *(SessionDirectory *directory, std::shared_ptr<SessionModel> session,
                            Binding<RuntimeInspectorPanel> panel, std::optional<TrajectoryEventSelection> event,
                            QWidget *parent)>
        runtimeInspector;
    // Shows another session and event in an inspector made by `runtimeInspector` and redraws it.
    // False when the widget is not one.
    std::function<bool(QWidget *inspector, std::shared_ptr<SessionModel> session,
                       std::optional<TrajectoryEventSelection> event)>
        updateRuntimeInspector;
};

// The slots the views use; empty until the application installs its own.
const ViewSlots &viewSlots();
void setViewSlots(ViewSlots viewSlots);

} // namespace nbd
