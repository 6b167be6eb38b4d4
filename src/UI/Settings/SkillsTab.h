#pragma once

#include "Domain/Settings.h"

#include <QCoroTask>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QStackedLayout;

namespace nbd {

class HostSettingsStore;
class SessionSelection;

// The skills page: the skill catalogue the host offers to the session selected in the main
// window, one card per skill, read-only. It loads when shown and again whenever the selection
// changes; an answer for a session that is no longer the selected one, or that a newer load
// has overtaken, is dropped.
class SkillsTab : public QWidget
{
    Q_OBJECT
public:
    SkillsTab(HostSettingsStore *hostSettings, SessionSelection *selection, QWidget *parent = nullptr);
    ~SkillsTab() override;

    const std::vector<SkillEntry> &skills() const { return m_skills; }

private:
    void startLoad();
    QCoro::Task<void> load(QString sessionId, quint64 generation);
    void showState();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<HostSettingsStore> m_hostSettings;
    QPointer<SessionSelection> m_selection;
    std::vector<SkillEntry> m_skills;
    quint64 m_generation = 0;
    QStackedLayout *m_stack;
};

} // namespace nbd
