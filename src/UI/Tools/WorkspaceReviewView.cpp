#include "UI/Tools/WorkspaceReviewView.h"

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
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

WorkspaceReviewView::WorkspaceReviewView(const QUrl &rootURL, QWidget *parent)
    : QWidget(parent)
    , m_review(new WorkspaceReview(rootURL, this))
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
    connect(m_review, &WorkspaceReview::loadingChanged, this, &WorkspaceReviewView::sync);
    connect(m_review, &WorkspaceReview::reportChanged, this, [this] {
        sync();
        Q_EMIT reportChanged();
    });
    sync();
}

WorkspaceReviewView::~WorkspaceReviewView() = default;

void WorkspaceReviewView::setRootURL(const QUrl &rootURL)
{
    if (!m_review->setRootURL(rootURL))
        return;
    sync();
    if (m_shown)
        refresh();
}

void WorkspaceReviewView::refresh()
{
    m_review->refresh();
}

void WorkspaceReviewView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        refresh();
    }
}

void WorkspaceReviewView::sync()
{
    const QUrl root = m_review->rootURL();
    const QString path = QDir::cleanPath(root.isLocalFile() ? root.toLocalFile() : root.path());
    m_title->setText(path == u"/"_s ? path : QFileInfo(path).fileName());
    const QString &report = m_review->report();
    const bool spinning = m_review->isLoading() && report.isEmpty();
    m_spinner->setVisible(spinning);
    m_text->setVisible(!spinning);
    const QString shown = report.isEmpty() ? u"工作区无待审阅改动"_s : report;
    if (m_text->toPlainText() != shown)
        m_text->setPlainText(shown);
}

void WorkspaceReviewView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
