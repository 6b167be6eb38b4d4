#include "UI/Tools/WorkspaceReviewView.h"

#include "Connection/WorkspaceCommand.h"
#include "Domain/Graphemes.h"
#include "Domain/Trimming.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/ToolChrome.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

WorkspaceReviewView::WorkspaceReviewView(const QUrl &rootURL, QWidget *parent)
    : QWidget(parent)
    , m_rootURL(rootURL)
    , m_title(new QLabel(this))
    , m_spinner(new Spinner(16, this))
    , m_text(new QPlainTextEdit(this))
{
    setObjectName(u"workspace-review"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    header->setFixedHeight(40);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(12, 0, 12, 0);
    m_title->setObjectName(u"workspace-review-title"_s);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setFont(Fonts::system(11, QFont::Medium));
    QPalette palette = m_title->palette();
    palette.setColor(QPalette::WindowText, Theme::secondaryText());
    m_title->setPalette(palette);
    row->addWidget(m_title, 1);
    auto *refreshButton = new ChromeIconButton(u"arrow.clockwise"_s, u"刷新审阅"_s, Theme::secondaryText(), [this] { refresh(); }, header);
    refreshButton->setObjectName(u"workspace-review-refresh"_s);
    row->addWidget(refreshButton);
    layout->addWidget(header);
    layout->addWidget(new ThemeRule(&Theme::hairline, this));

    m_spinner->setObjectName(u"workspace-review-spinner"_s);
    m_spinner->setAccessibleName(u"正在加载"_s);
    layout->addWidget(m_spinner, 1, Qt::AlignCenter);
    m_text->setObjectName(u"workspace-review-report"_s);
    m_text->setAccessibleName(u"审阅"_s);
    m_text->setReadOnly(true);
    m_text->setFrameShape(QFrame::NoFrame);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setFont(monospaceFont(11));
    m_text->document()->setDocumentMargin(14);
    m_text->setStyleSheet(u"QPlainTextEdit { background: transparent; }"_s);
    layout->addWidget(m_text, 1);
    sync();
}

WorkspaceReviewView::~WorkspaceReviewView() { m_alive.reset(); }

void WorkspaceReviewView::setRootURL(const QUrl &rootURL)
{
    if (rootURL.path() == m_rootURL.path()) {
        m_rootURL = rootURL;
        return;
    }
    m_rootURL = rootURL;
    ++m_rootGeneration;
    // The superseded refreshes no longer count as loading: their results will be dropped.
    m_loading = 0;
    sync();
    if (m_shown)
        refresh();
}

void WorkspaceReviewView::refresh()
{
    runRefresh(m_rootURL, m_rootGeneration);
}

void WorkspaceReviewView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        refresh();
    }
}

QCoro::Task<void> WorkspaceReviewView::runRefresh(QUrl root, quint64 generation)
{
    const std::weak_ptr<const bool> alive = m_alive;
    ++m_loading;
    sync();
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
    // The first refresh to finish ends the loading state, as overlapping ones share the view.
    m_loading = 0;
    sync();
    Q_EMIT reportChanged();
}

void WorkspaceReviewView::sync()
{
    const QString path = QDir::cleanPath(m_rootURL.isLocalFile() ? m_rootURL.toLocalFile() : m_rootURL.path());
    m_title->setText(path == u"/"_s ? path : QFileInfo(path).fileName());
    const bool spinning = m_loading > 0 && m_report.isEmpty();
    m_spinner->setVisible(spinning);
    m_text->setVisible(!spinning);
    const QString shown = m_report.isEmpty() ? u"工作区无待审阅改动"_s : m_report;
    if (m_text->toPlainText() != shown)
        m_text->setPlainText(shown);
}

void WorkspaceReviewView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
