#include "UI/Settings/SkillsTab.h"

#include "Domain/BidiIsolate.h"
#include "Store/HostSettingsStore.h"
#include "Store/SessionSelection.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/PagedColumn.h"
#include "UI/Shared/StatusPill.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QScrollArea>
#include <QStackedLayout>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Skill cards built at once, and added at each "显示更多".
constexpr qsizetype kCardsPerPage = 20;
// The longest description a card shows; a longer one ends in "…".
constexpr qsizetype kDescriptionText = 4 * kRowText;

QWidget *skillCard(const SkillEntry &skill)
{
    auto *card = new CardFrame(7, 0.03);
    card->setObjectName(u"settings-skill-"_s + skill.name);
    card->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto *layout = new QVBoxLayout(card);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(5);
    auto *head = new QHBoxLayout;
    head->setSpacing(8);
    auto *name = new ThemedLabel(text::bidiIsolated(rowText(skill.name)), monospacedFont(10, QFont::DemiBold), &Theme::primaryText, card);
    name->setObjectName(u"settings-skill-name"_s);
    head->addWidget(name);
    auto *pill = skill.modelInvocable ? new StatusPill(u"模型可调用"_s, StatusPill::Kind::Accent, std::nullopt, card)
                                      : new StatusPill(u"仅显示"_s, StatusPill::Kind::Neutral, std::nullopt, card);
    pill->setObjectName(u"settings-skill-invocable"_s);
    head->addWidget(pill);
    head->addStretch(1);
    layout->addLayout(head);
    // Wrapped whole, up to what a card's worth of lines can hold.
    auto *description =
        new ThemedLabel(rowText(skill.description, kDescriptionText), Fonts::caption(), &Theme::secondaryText, card);
    description->setObjectName(u"settings-skill-description"_s);
    description->setWordWrap(true);
    layout->addWidget(description);
    if (skill.whenToUse) {
        auto *when = new ClampedLabel(u"何时使用:"_s + *skill.whenToUse, Fonts::caption(), &Theme::tertiaryText, 3, card);
        when->setObjectName(u"settings-skill-when"_s);
        layout->addWidget(when);
    }
    card->setAccessibleName(text::bidiIsolated(rowText(skill.name)) + u"，"_s + (skill.modelInvocable ? u"模型可调用"_s : u"仅显示"_s));
    return card;
}

} // namespace

SkillsTab::SkillsTab(HostSettingsStore *hostSettings, SessionSelection *selection, QWidget *parent)
    : QWidget(parent)
    , m_hostSettings(hostSettings)
    , m_selection(selection)
    , m_stack(new QStackedLayout(this))
{
    setObjectName(u"settings-skills"_s);
    if (m_selection)
        connect(m_selection, &SessionSelection::selectedSessionIdChanged, this, &SkillsTab::startLoad);
    startLoad();
}

SkillsTab::~SkillsTab()
{
    m_alive.reset();
}

void SkillsTab::startLoad()
{
    // A newer load overtakes every earlier one, whatever order the answers come in.
    const quint64 generation = ++m_generation;
    const std::optional<QString> selected = m_selection ? m_selection->selectedSessionId() : std::nullopt;
    showState();
    if (selected)
        load(*selected, generation);
}

QCoro::Task<void> SkillsTab::load(QString sessionId, quint64 generation)
{
    QPointer<SkillsTab> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    QPointer<HostSettingsStore> hostSettings = m_hostSettings;
    QPointer<SessionSelection> selection = m_selection;
    if (!hostSettings || !selection)
        co_return;
    std::vector<SkillEntry> skills = co_await hostSettings->listSkills(sessionId);
    if (alive.expired() || !self || !selection)
        co_return;
    if (generation != m_generation || selection->selectedSessionId() != sessionId)
        co_return;
    m_skills = std::move(skills);
    showState();
}

void SkillsTab::showState()
{
    while (m_stack->count() > 0) {
        QWidget *w = m_stack->widget(0);
        m_stack->removeWidget(w);
        delete w;
    }
    QWidget *state = nullptr;
    if (!m_selection || !m_selection->selectedSessionId()) {
        state = new ContentUnavailableState(u"wand.and.stars"_s, u"选择一个会话后查看可用技能"_s,
                                            u"技能目录按会话返回,与当前 agent 预设绑定。"_s, this);
        state->setObjectName(u"settings-skills-unavailable"_s);
    } else if (m_skills.empty()) {
        // Nothing tells a load under way from an empty or failed one: both show the indicator.
        state = new ProgressState(u"加载技能…"_s, this);
        state->setObjectName(u"settings-skills-loading"_s);
    } else {
        const ScrollingList list = scrollingList(u"可用技能"_s, QMargins(14, 14, 14, 14), 8, this);
        list.scroll->setObjectName(u"settings-skills-list"_s);
        // Cards come a page at a time; the page is rebuilt whenever the skills change.
        auto *cards = new PagedColumn(qsizetype(m_skills.size()), kCardsPerPage,
                                      [this](qsizetype index, QWidget *owner) -> QWidget * {
                                          if (size_t(index) >= m_skills.size())
                                              return nullptr;
                                          QWidget *card = skillCard(m_skills[size_t(index)]);
                                          card->setParent(owner);
                                          return card;
                                      },
                                      list.content);
        cards->rows()->setSpacing(8);
        list.column->addWidget(cards);
        list.column->addStretch(1);
        state = list.scroll;
    }
    m_stack->addWidget(state);
    m_stack->setCurrentWidget(state);
}

} // namespace nbd
