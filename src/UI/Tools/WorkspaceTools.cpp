#include "UI/Tools/WorkspaceTools.h"

#include "Domain/Trimming.h"

#include <QDir>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QString workspaceToolTitle(WorkspaceTool tool)
{
    switch (tool) {
    case WorkspaceTool::SessionInspector:
        return u"会话检查"_s;
    case WorkspaceTool::Review:
        return u"审阅"_s;
    case WorkspaceTool::Terminal:
        return u"终端"_s;
    case WorkspaceTool::Browser:
        return u"浏览器"_s;
    case WorkspaceTool::Files:
        return u"文件"_s;
    case WorkspaceTool::SideChat:
        return u"侧边聊天"_s;
    }
    return {};
}

QString workspaceToolSymbol(WorkspaceTool tool)
{
    switch (tool) {
    case WorkspaceTool::SessionInspector:
        return u"waveform.path.ecg"_s;
    case WorkspaceTool::Review:
        return u"doc.text.magnifyingglass"_s;
    case WorkspaceTool::Terminal:
        return u"terminal"_s;
    case WorkspaceTool::Browser:
        return u"globe"_s;
    case WorkspaceTool::Files:
        return u"folder"_s;
    case WorkspaceTool::SideChat:
        return u"bubble.left.and.bubble.right"_s;
    }
    return {};
}

void WorkspaceToolTabState::open(WorkspaceTool tool, const QUuid &id, std::optional<QUrl> browserStartURL,
                                 std::optional<QUrl> requestedFileURL, bool reuseExisting)
{
    if (reuseExisting) {
        const auto it = std::find_if(tabs.begin(), tabs.end(), [&](const WorkspaceToolTab &t) { return t.tool == tool; });
        if (it != tabs.end()) {
            selectedTabID = it->id;
            return;
        }
    }
    tabs.push_back(WorkspaceToolTab{id, tool, std::move(browserStartURL), std::move(requestedFileURL)});
    selectedTabID = id;
}

std::optional<WorkspaceToolTab> WorkspaceToolTabState::close(const QUuid &id)
{
    const auto it = std::find_if(tabs.begin(), tabs.end(), [&](const WorkspaceToolTab &t) { return t.id == id; });
    if (it == tabs.end())
        return std::nullopt;
    const auto index = std::size_t(it - tabs.begin());
    WorkspaceToolTab removed = *it;
    tabs.erase(it);
    if (selectedTabID == id) {
        if (tabs.empty())
            selectedTabID.reset();
        else
            selectedTabID = tabs[std::min(index, tabs.size() - 1)].id;
    }
    return removed;
}

const WorkspaceToolTab *WorkspaceToolTabState::find(const QUuid &id) const
{
    const auto it = std::find_if(tabs.begin(), tabs.end(), [&](const WorkspaceToolTab &t) { return t.id == id; });
    return it == tabs.end() ? nullptr : &*it;
}

} // namespace nbd


namespace nbd::WorkspaceLinkRouter {

WorkspaceLinkDestination destination(const QUrl &url, const QUrl &baseDirectory)
{
    using Kind = WorkspaceLinkDestination::Kind;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"http"_s || scheme == u"https"_s)
        return {Kind::Browser, url};
    if (scheme == u"file"_s)
        return {Kind::File, QUrl::fromLocalFile(QDir::cleanPath(url.toLocalFile()))};
    if (!scheme.isEmpty())
        return {Kind::System, {}};
    if (!url.host().isEmpty()) {
        QUrl web = url;
        web.setScheme(u"https"_s);
        return {Kind::Browser, web};
    }
    const QString path = url.path();
    if (path.isEmpty())
        return {Kind::System, {}};
    if (path.startsWith(u'/'))
        return {Kind::File, QUrl::fromLocalFile(QDir::cleanPath(path))};
    return {Kind::File, QUrl::fromLocalFile(QDir::cleanPath(baseDirectory.toLocalFile() + u'/' + path))};
}

std::optional<QUrl> urlForFileReference(const QString &reference)
{
    const QString text = text::trimWhitespaceAndNewlines(reference).toString();
    if (text.isEmpty())
        return std::nullopt;
    if (text.startsWith(u"file://"_s)) {
        const QUrl url(text, QUrl::StrictMode);
        return url.isValid() ? std::optional<QUrl>(url) : std::nullopt;
    }
    if (text.startsWith(u'/'))
        return QUrl::fromLocalFile(text);
    QUrl url;
    url.setPath(text, QUrl::DecodedMode);
    return url.isValid() ? std::optional<QUrl>(url) : std::nullopt;
}

} // namespace nbd::WorkspaceLinkRouter
