#include "UI/Shared/WorkspaceTools.h"

#include "Domain/Graphemes.h"
#include "Domain/Trimming.h"
#include "UI/Shared/EnumTable.h"
#include "UI/Shared/NativePath.h"

#include <QKeySequence>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

struct ToolTexts
{
    WorkspaceTool value;
    QStringView raw;
    QStringView label;
    QStringView icon; // a symbol name
    std::optional<QKeyCombination> shortcut;
};

constexpr ToolTexts toolTexts[] = {
    {WorkspaceTool::SessionInspector, u"sessionInspector", u"运行信息", u"info.circle", std::nullopt},
    {WorkspaceTool::Review, u"review", u"审阅", u"checklist", Qt::CTRL | Qt::SHIFT | Qt::Key_G},
    {WorkspaceTool::Terminal, u"terminal", u"终端", u"terminal", Qt::CTRL | Qt::Key_QuoteLeft},
    {WorkspaceTool::Browser, u"browser", u"浏览器", u"globe", Qt::CTRL | Qt::Key_T},
    {WorkspaceTool::Files, u"files", u"文件", u"folder", Qt::CTRL | Qt::Key_P},
    {WorkspaceTool::SideChat, u"sideChat", u"侧边聊天", u"bubble.left.and.bubble.right", Qt::CTRL | Qt::ALT | Qt::Key_S},
};
static_assert(listsEnumInOrder(toolTexts, WorkspaceTool::SideChat));

} // namespace

QString workspaceToolRawValue(WorkspaceTool tool) { return enumText(toolTexts, tool, &ToolTexts::raw); }

std::optional<WorkspaceTool> workspaceToolFromRawValue(const QString &raw)
{
    return enumFromText(toolTexts, &ToolTexts::raw, raw);
}

QString workspaceToolLabel(WorkspaceTool tool) { return enumText(toolTexts, tool, &ToolTexts::label); }

QString workspaceToolIcon(WorkspaceTool tool) { return enumText(toolTexts, tool, &ToolTexts::icon); }

std::optional<QString> workspaceToolShortcut(WorkspaceTool tool)
{
    const ToolTexts *row = enumRow(toolTexts, tool);
    if (row && !row->shortcut)
        return std::nullopt;
    return (row ? QKeySequence(*row->shortcut) : QKeySequence()).toString(QKeySequence::NativeText);
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
        return {Kind::File, NativePath::toURL(NativePath::cleaned(NativePath::fromURL(url)))};
    if (!scheme.isEmpty())
        return {Kind::System, {}};
    if (!url.host().isEmpty()) {
        QUrl web = url;
        web.setScheme(u"https"_s);
        if (web.isValid())
            return {Kind::Browser, web};
    }
    // Paths as bytes: a name that is not UTF-8 reaches the file tool as it is.
    const QByteArray path = NativePath::fromURL(url);
    if (path.isEmpty())
        return {Kind::System, {}};
    if (path.startsWith('/'))
        return {Kind::File, NativePath::toURL(NativePath::cleaned(path))};
    return {Kind::File, NativePath::toURL(NativePath::cleaned(NativePath::fromURL(baseDirectory) + '/' + path))};
}

} // namespace nbd::WorkspaceLinkRouter
