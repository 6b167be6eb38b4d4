#include "UI/SidebarView.h"

#include "UI/ChromeIconButton.h"
#include "UI/PlaceholderSupport.h"
#include "UI/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

SidebarView::SidebarView(AppModel *appModel, std::function<void()> onCollapse, Binding<bool> searchVisible,
                         QWidget *parent)
    : QWidget(parent)
    , m_appModel(appModel)
    , m_onCollapse(std::move(onCollapse))
    , m_searchVisible(std::move(searchVisible))
    , m_surface(new PlaceholderSurface(u"会话侧栏（占位）"_s, PlaceholderSurface::Fill::None, this))
{
    setObjectName(u"sidebar"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 10);
    layout->setSpacing(0);
    auto *header = new QHBoxLayout;
    header->addStretch();
    auto *collapse = new ChromeIconButton(u"sidebar.left"_s, u"收起侧栏"_s, std::nullopt, [this] {
        if (m_onCollapse)
            m_onCollapse();
    });
    collapse->setObjectName(u"sidebar-collapse"_s);
    header->addWidget(collapse);
    layout->addLayout(header);
    layout->addWidget(m_surface, 1);
    refresh();
}

void SidebarView::refresh()
{
    m_surface->setDetail(searchVisible() ? u"搜索已展开"_s : QString());
}

} // namespace nbd
