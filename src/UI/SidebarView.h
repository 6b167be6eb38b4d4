#pragma once

#include "UI/Binding.h"

#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>

namespace nbd {

class AppModel;
class PlaceholderSurface;

// The full session sidebar. Placeholder until the sidebar is built: it keeps the state the
// sidebar starts with and offers the collapse button.
class SidebarView : public QWidget
{
    Q_OBJECT
public:
    SidebarView(AppModel *appModel, std::function<void()> onCollapse, Binding<bool> searchVisible,
                QWidget *parent = nullptr);

    bool searchVisible() const { return m_searchVisible.get ? m_searchVisible.get() : false; }
    // Re-reads the bound search visibility.
    void refresh();

private:
    AppModel *m_appModel;
    std::function<void()> m_onCollapse;
    Binding<bool> m_searchVisible;
    QString m_searchText;
    bool m_showSettings = false;
    bool m_newSessionPresented = false;
    QSet<QString> m_collapsedWorkspaceIds;
    QSet<QString> m_remoteSearchMatches;
    bool m_settingsHovered = false;
    PlaceholderSurface *m_surface;
};

} // namespace nbd
