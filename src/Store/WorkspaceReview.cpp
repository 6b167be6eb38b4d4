#include "Store/WorkspaceReview.h"

#include "Connection/WorkspaceCommand.h"
#include "Domain/Graphemes.h"
#include "Domain/Trimming.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

WorkspaceReview::WorkspaceReview(const QUrl &rootURL, QObject *parent)
    : QObject(parent)
    , m_rootURL(rootURL)
{
}

WorkspaceReview::~WorkspaceReview() { m_alive.reset(); }

bool WorkspaceReview::setRootURL(const QUrl &rootURL)
{
    const bool moved = rootURL.path() != m_rootURL.path();
    m_rootURL = rootURL;
    if (!moved)
        return false;
    ++m_rootGeneration;
    // The superseded refreshes no longer count as loading: their results will be dropped.
    setLoading(0);
    return true;
}

void WorkspaceReview::refresh()
{
    runRefresh(m_rootURL, m_rootGeneration);
}

void WorkspaceReview::setLoading(int loading)
{
    const bool was = isLoading();
    m_loading = loading;
    if (was != isLoading())
        Q_EMIT loadingChanged();
}

QCoro::Task<void> WorkspaceReview::runRefresh(QUrl root, quint64 generation)
{
    const std::weak_ptr<const bool> alive = m_alive;
    setLoading(m_loading + 1);
    const QStringList statusArguments = {u"status"_s, u"--short"_s, u"--branch"_s, u"--ignore-submodules=all"_s};
    const WorkspaceCommandResult status = co_await WorkspaceCommand::captureGit(statusArguments, root);
    if (alive.expired() || generation != m_rootGeneration)
        co_return;
    QString report;
    if (status.status != 0) {
        report = status.output.isEmpty() ? u"当前目录不是 Git 工作区"_s : status.output;
    } else {
        // The work tree against the index, as `git diff --stat` shows it; but that command
        // refreshes and writes the index, taking its lock, where diff-files only reads. A
        // submodule is a work tree with a configuration of its own: not entered.
        const QStringList diffArguments = {u"diff-files"_s, u"--stat"_s, u"--no-ext-diff"_s, u"--no-textconv"_s,
                                           u"--ignore-submodules=all"_s};
        const WorkspaceCommandResult diff = co_await WorkspaceCommand::captureGit(diffArguments, root);
        if (alive.expired() || generation != m_rootGeneration)
            co_return;
        QStringList parts;
        for (const QString &output : {status.output, diff.output}) {
            if (!text::trimWhitespaceAndNewlines(output).isEmpty())
                parts << output;
        }
        report = Graphemes::prefix(parts.join(u'\n'), kReportLimit);
    }
    m_report = report;
    // The first refresh to finish ends the loading state, as overlapping ones share the report.
    setLoading(0);
    Q_EMIT reportChanged();
}

} // namespace nbd
