#include "UI/Conversation/ConversationView.h"

#include "Store/AppModel.h"
#include "Session/SessionModel.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Conversation/DeepDivingStatusView.h"
#include "UI/Shared/PlaceholderSupport.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

ConversationView::ConversationView(AppModel *appModel, std::function<void()> onToggleRightSidebar,
                                   std::function<void()> onToggleTerminal, OpenInspector onOpenInspector,
                                   QWidget *parent)
    : QWidget(parent)
    , m_appModel(appModel)
    , m_onToggleRightSidebar(std::move(onToggleRightSidebar))
    , m_onToggleTerminal(std::move(onToggleTerminal))
    , m_onOpenInspector(std::move(onOpenInspector))
    , m_surface(new PlaceholderSurface(u"对话视图（占位）"_s, PlaceholderSurface::Fill::None, this))
    , m_status(new DeepDivingStatusView(this))
{
    setObjectName(u"conversation"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 10, 12, 16);
    layout->setSpacing(0);
    auto *header = new QHBoxLayout;
    header->setSpacing(4);
    header->addStretch();
    auto *terminalToggle = new ChromeIconButton(u"terminal"_s, u"终端"_s, std::nullopt, [this] {
        if (m_onToggleTerminal)
            m_onToggleTerminal();
    });
    terminalToggle->setObjectName(u"workspace-terminal-toggle"_s);
    auto *toolsToggle = new ChromeIconButton(u"sidebar.right"_s, u"工作区工具"_s, std::nullopt, [this] {
        if (m_onToggleRightSidebar)
            m_onToggleRightSidebar();
    });
    toolsToggle->setObjectName(u"workspace-tools-toggle"_s);
    header->addWidget(terminalToggle);
    header->addWidget(toolsToggle);
    layout->addLayout(header);
    layout->addWidget(m_surface, 1);
    layout->addWidget(m_status, 0, Qt::AlignLeft);
    m_status->hide();

    if (appModel) {
        connect(appModel, &AppModel::selectedSessionIdChanged, this, &ConversationView::refresh);
        connect(appModel, &AppModel::sessionModelsChanged, this, &ConversationView::refresh);
        connect(appModel, &AppModel::sessionsChanged, this, &ConversationView::refresh);
    }
    refresh();
}

void ConversationView::refresh()
{
    QObject::disconnect(m_runningConnection);
    std::shared_ptr<SessionModel> session = m_appModel ? m_appModel->selectedSession() : nullptr;
    if (!m_appModel || !m_appModel->selectedSessionId()) {
        m_surface->setDetail(u"未选择会话"_s);
    } else {
        const QString id = *m_appModel->selectedSessionId();
        m_surface->setDetail(m_appModel->displayTitle(id).value_or(id));
    }
    m_status->setVisible(session && session->running());
    if (session) {
        m_runningConnection = connect(session.get(), &SessionModel::runningChanged, this, [this] {
            const auto current = m_appModel ? m_appModel->selectedSession() : nullptr;
            m_status->setVisible(current && current->running());
        });
    }
}

void ConversationView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
