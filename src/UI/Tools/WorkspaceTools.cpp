#include "UI/Tools/WorkspaceTools.h"

#include "Domain/Graphemes.h"
#include "Domain/Trimming.h"

#include <QDir>
#include <QKeySequence>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QString workspaceToolRawValue(WorkspaceTool tool)
{
    switch (tool) {
    case WorkspaceTool::SessionInspector: return u"sessionInspector"_s;
    case WorkspaceTool::Review: return u"review"_s;
    case WorkspaceTool::Terminal: return u"terminal"_s;
    case WorkspaceTool::Browser: return u"browser"_s;
    case WorkspaceTool::Files: return u"files"_s;
    case WorkspaceTool::SideChat: return u"sideChat"_s;
    }
    return {};
}

std::optional<WorkspaceTool> workspaceToolFromRawValue(const QString &raw)
{
    for (WorkspaceTool tool : {WorkspaceTool::SessionInspector, WorkspaceTool::Review, WorkspaceTool::Terminal,
                               WorkspaceTool::Browser, WorkspaceTool::Files, WorkspaceTool::SideChat}) {
        if (workspaceToolRawValue(tool) == raw)
            return tool;
    }
    return std::nullopt;
}

QString workspaceToolLabel(WorkspaceTool tool)
{
    switch (tool) {
    case WorkspaceTool::SessionInspector: return u"运行信息"_s;
    case WorkspaceTool::Review: return u"审阅"_s;
    case WorkspaceTool::Terminal: return u"终端"_s;
    case WorkspaceTool::Browser: return u"浏览器"_s;
    case WorkspaceTool::Files: return u"文件"_s;
    case WorkspaceTool::SideChat: return u"侧边聊天"_s;
    }
    return {};
}

QString workspaceToolIcon(WorkspaceTool tool)
{
    switch (tool) {
    case WorkspaceTool::SessionInspector: return u"info.circle"_s;
    case WorkspaceTool::Review: return u"checklist"_s;
    case WorkspaceTool::Terminal: return u"terminal"_s;
    case WorkspaceTool::Browser: return u"globe"_s;
    case WorkspaceTool::Files: return u"folder"_s;
    case WorkspaceTool::SideChat: return u"bubble.left.and.bubble.right"_s;
    }
    return {};
}

std::optional<QString> workspaceToolShortcut(WorkspaceTool tool)
{
    QKeySequence sequence;
    switch (tool) {
    case WorkspaceTool::SessionInspector: return std::nullopt;
    case WorkspaceTool::Review: sequence = QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G); break;
    case WorkspaceTool::Terminal: sequence = QKeySequence(Qt::CTRL | Qt::Key_QuoteLeft); break;
    case WorkspaceTool::Browser: sequence = QKeySequence(Qt::CTRL | Qt::Key_T); break;
    case WorkspaceTool::Files: sequence = QKeySequence(Qt::CTRL | Qt::Key_P); break;
    case WorkspaceTool::SideChat: sequence = QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S); break;
    }
    return sequence.toString(QKeySequence::NativeText);
}

QString WorkspaceToolTab::title() const
{
    if (tool == WorkspaceTool::Files && requestedFileURL) {
        const QString name = requestedFileURL->fileName(QUrl::FullyDecoded);
        if (!name.isEmpty())
            return name;
    }
    if (tool == WorkspaceTool::Browser && browserStartURL && !browserStartURL->host().isEmpty())
        return browserStartURL->host(QUrl::FullyDecoded);
    return workspaceToolLabel(tool);
}

QUuid WorkspaceToolTabState::open(WorkspaceTool tool, const QUuid &id, std::optional<QUrl> browserStartURL,
                                  std::optional<QUrl> requestedFileURL, bool reuseExisting)
{
    if (reuseExisting) {
        const auto it = std::find_if(tabs.begin(), tabs.end(), [&](const WorkspaceToolTab &t) { return t.tool == tool; });
        if (it != tabs.end()) {
            selectedTabID = it->id;
            return it->id;
        }
    }
    tabs.push_back(WorkspaceToolTab{id, tool, std::move(browserStartURL), std::move(requestedFileURL)});
    selectedTabID = id;
    return id;
}

void WorkspaceToolTabState::select(const QUuid &id)
{
    if (find(id))
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

std::optional<QUrl> urlForFileReference(const QString &reference)
{
    const QString trimmed = text::trimWhitespaceAndNewlines(reference).toString();
    if (trimmed.isEmpty())
        return std::nullopt;
    if (trimmed.startsWith(u"file://"_s)) {
        const QUrl url(trimmed);
        return url.isValid() ? std::optional<QUrl>(url) : std::nullopt;
    }
    if (trimmed.startsWith(u'/'))
        return QUrl::fromLocalFile(trimmed);
    QUrl relative;
    relative.setPath(trimmed, QUrl::DecodedMode);
    if (!relative.isValid())
        return std::nullopt;
    return relative;
}

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
        if (web.isValid())
            return {Kind::Browser, web};
    }
    const QString path = url.path(QUrl::FullyDecoded);
    if (path.isEmpty())
        return {Kind::System, {}};
    if (path.startsWith(u'/'))
        return {Kind::File, QUrl::fromLocalFile(QDir::cleanPath(path))};
    const QString base = baseDirectory.isLocalFile() ? baseDirectory.toLocalFile() : baseDirectory.path();
    return {Kind::File, QUrl::fromLocalFile(QDir::cleanPath(base + u'/' + path))};
}

} // namespace nbd::WorkspaceLinkRouter
