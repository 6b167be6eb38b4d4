#include "UI/Tools/WorkspaceWebPage.h"

#include "UI/Shared/WebViewLibrary.h"

#include <QWidget>

namespace nbd {

WorkspaceWebPage *createWorkspaceWebPage(QWidget *parent)
{
    using Factory = WorkspaceWebPage *(*)(QWidget *);
    static const auto factory = reinterpret_cast<Factory>(
        WebViewLibrary::resolve("nbd_create_workspace_web_page", "Workspace browser unavailable"));
    return factory ? factory(parent) : nullptr;
}

} // namespace nbd
