#include "UI/Tools/WorkspaceBrowserView.h"

#include "Domain/BidiIsolate.h"
#include "Domain/Graphemes.h"
#include "Domain/Trimming.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/ToolChrome.h"
#include "UI/Tools/WorkspaceWebPage.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

WorkspaceBrowserModel::WorkspaceBrowserModel(WorkspaceWebPage *page, QObject *parent)
    : QObject(parent)
    , m_page(page)
{
    if (!page)
        return;
    page->onStarted = [this] {
        m_loading = true;
        updateNavigationState();
        Q_EMIT changed();
    };
    page->onFinished = [this](bool ok) {
        m_loading = false;
        const QUrl url = m_page->url();
        if (ok && !url.isEmpty())
            m_address = url.toString(QUrl::FullyEncoded);
        updateNavigationState();
        Q_EMIT changed();
    };
    page->onRequest = [this](WorkspaceWebPage::Request request, const QString &text) { pageRequested(request, text); };
}

WorkspaceBrowserModel::~WorkspaceBrowserModel()
{
    if (m_page) {
        m_page->onStarted = nullptr;
        m_page->onFinished = nullptr;
        m_page->onRequest = nullptr;
    }
}

std::optional<QUrl> WorkspaceBrowserModel::normalizedAddress(const QString &typed)
{
    const QString trimmed = text::trimWhitespaceAndNewlines(typed).toString();
    if (trimmed.isEmpty())
        return std::nullopt;
    const QUrl parsed(trimmed);
    const QUrl url = parsed.isValid() && !parsed.scheme().isEmpty() ? parsed : QUrl(u"https://"_s + trimmed);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

void WorkspaceBrowserModel::setAddress(const QString &address)
{
    if (m_address == address)
        return;
    m_address = address;
    Q_EMIT changed();
}

void WorkspaceBrowserModel::load(const QString &typed)
{
    const auto url = normalizedAddress(typed);
    if (!url || !WorkspaceWebPage::loadsAddress(*url))
        return;
    m_address = url->toString(QUrl::FullyEncoded);
    // Another page: what the last one asked for no longer applies, and it is heard again.
    m_notice.clear();
    m_silenced = false;
    m_burst = 0;
    Q_EMIT changed();
    if (m_page)
        m_page->load(*url);
}

void WorkspaceBrowserModel::updateNavigationState()
{
    if (!m_page)
        return;
    m_canGoBack = m_page->canGoBack();
    m_canGoForward = m_page->canGoForward();
}

void WorkspaceBrowserModel::dismissNotice()
{
    if (m_notice.isEmpty())
        return;
    m_notice.clear();
    Q_EMIT changed();
}

void WorkspaceBrowserModel::pageRequested(WorkspaceWebPage::Request request, const QString &text)
{
    if (m_silenced)
        return;
    m_burst = m_lastRequest.isValid() && m_lastRequest.elapsed() < kRequestBurstGapMs ? m_burst + 1 : 1;
    m_lastRequest.start();
    if (m_burst > kRequestBurst) {
        m_silenced = true;
        m_notice = u"此网页接连发出请求，之后的请求不再显示"_s;
        Q_EMIT changed();
        return;
    }
    const QString shown = text::bidiIsolated(Graphemes::prefix(text, kNoticeTextLimit));
    using Request = WorkspaceWebPage::Request;
    switch (request) {
    case Request::Alert:
        m_notice = u"网页消息：%1"_s.arg(shown);
        break;
    case Request::Confirm:
        m_notice = u"网页请求确认（已拒绝）：%1"_s.arg(shown);
        break;
    case Request::Prompt:
        m_notice = u"网页请求输入（已取消）：%1"_s.arg(shown);
        break;
    case Request::ChooseFiles:
        m_notice = u"网页请求选择文件（已拒绝），可将文件拖到网页上"_s;
        break;
    case Request::Login:
        m_notice = text.isEmpty() ? u"网页请求登录（已拒绝）"_s : u"%1 请求登录（已拒绝）"_s.arg(shown);
        break;
    }
    Q_EMIT changed();
}

WorkspaceBrowserView::WorkspaceBrowserView(std::optional<QUrl> startURL, QWidget *parent)
    : QWidget(parent)
    , m_startURL(std::move(startURL))
    , m_layout(new QVBoxLayout(this))
    , m_back(new ChromeIconButton(u"chevron.left"_s, u"后退"_s, std::nullopt, [this] {
        if (m_model && m_model->page())
            m_model->page()->goBack();
    }, this))
    , m_forward(new ChromeIconButton(u"chevron.right"_s, u"前进"_s, std::nullopt, [this] {
        if (m_model && m_model->page())
            m_model->page()->goForward();
    }, this))
    , m_reload(new ChromeIconButton(u"arrow.clockwise"_s, u"刷新"_s, std::nullopt, [this] {
        if (!m_model || !m_model->page())
            return;
        if (m_model->isLoading())
            m_model->page()->stop();
        else
            m_model->page()->reload();
    }, this))
    , m_address(new QLineEdit(this))
{
    setObjectName(u"workspace-browser"_s);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    auto *toolbar = new QWidget(this);
    toolbar->setFixedHeight(42);
    auto *row = new QHBoxLayout(toolbar);
    row->setContentsMargins(8, 0, 8, 0);
    row->setSpacing(4);
    m_back->setObjectName(u"workspace-browser-back"_s);
    m_forward->setObjectName(u"workspace-browser-forward"_s);
    m_reload->setObjectName(u"workspace-browser-reload"_s);
    row->addWidget(m_back);
    row->addWidget(m_forward);
    row->addWidget(m_reload);
    m_address->setObjectName(u"workspace-browser-address"_s);
    m_address->setAccessibleName(u"网址"_s);
    m_address->setPlaceholderText(u"输入网址"_s);
    m_address->setFrame(false);
    m_address->setFont(Fonts::system(11));
    m_address->setFixedHeight(28);
    m_address->setTextMargins(9, 0, 9, 0);
    const QColor inset = Theme::inset();
    m_address->setStyleSheet(u"QLineEdit { background: %1; border-radius: 7px; }"_s.arg(inset.name(QColor::HexArgb)));
    row->addWidget(m_address, 1);
    m_layout->addWidget(toolbar);
    m_layout->addWidget(new ThemeRule(&Theme::hairline, this));
    m_noticeBar = buildNoticeBar();
    m_layout->addWidget(m_noticeBar);
    m_layout->addStretch(1);

    connect(m_address, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_model)
            m_model->setAddress(text);
    });
    connect(m_address, &QLineEdit::returnPressed, this, [this] {
        ensurePage();
        if (m_model)
            m_model->load(m_address->text());
    });
    sync();
}

QWidget *WorkspaceBrowserView::buildNoticeBar()
{
    // Inside the tab, over the page only: the page's requests never cover the window.
    auto *bar = new QWidget(this);
    bar->setObjectName(u"workspace-browser-notice"_s);
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(10, 4, 6, 4);
    row->setSpacing(6);
    m_noticeText = new ElidedLabel({}, Qt::ElideRight, bar);
    m_noticeText->setObjectName(u"workspace-browser-notice-text"_s);
    m_noticeText->setFont(Fonts::system(11));
    m_noticeText->setColor(&Theme::primaryText);
    row->addWidget(m_noticeText, 1);
    auto *close = new ChromeIconButton(u"xmark"_s, u"关闭提示"_s, std::nullopt, [this] {
        if (m_model)
            m_model->dismissNotice();
    }, bar);
    close->setObjectName(u"workspace-browser-notice-close"_s);
    row->addWidget(close);
    bar->hide();
    return bar;
}

void WorkspaceBrowserView::ensurePage()
{
    if (m_model)
        return;
    WorkspaceWebPage *page = createWorkspaceWebPage(this);
    if (page) {
        const QPointer<WorkspaceBrowserView> view = this;
        page->onExternalLink = [view](const QUrl &url) {
            if (view)
                LinkOpener::open(view, url);
        };
    }
    m_model = new WorkspaceBrowserModel(page, this);
    connect(m_model, &WorkspaceBrowserModel::changed, this, &WorkspaceBrowserView::sync);
    // The page takes the stretch's place under the toolbar.
    delete m_layout->takeAt(m_layout->count() - 1);
    if (page)
        m_layout->addWidget(page->widget(), 1);
    else
        m_layout->addWidget(new ContentUnavailableView(u"浏览器不可用"_s, u"globe"_s, u"无法加载网页组件"_s, this), 1);
    m_model->setAddress(m_address->text());
}

void WorkspaceBrowserView::setStartURL(std::optional<QUrl> startURL)
{
    m_startURL = std::move(startURL);
    if (!m_model || !m_startURL)
        return;
    const QString address = m_startURL->toString(QUrl::FullyEncoded);
    if (address != m_model->address())
        m_model->load(address);
}

void WorkspaceBrowserView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    ensurePage();
    if (m_model->address().isEmpty() && m_startURL)
        m_model->load(m_startURL->toString(QUrl::FullyEncoded));
}

void WorkspaceBrowserView::sync()
{
    const bool loading = m_model && m_model->isLoading();
    m_back->setEnabled(m_model && m_model->canGoBack());
    m_forward->setEnabled(m_model && m_model->canGoForward());
    m_reload->setSymbolName(loading ? u"xmark"_s : u"arrow.clockwise"_s);
    const QString help = loading ? u"停止"_s : u"刷新"_s;
    m_reload->setToolTip(plainToolTip(help));
    m_reload->setAccessibleName(help);
    m_reload->setAccessibleDescription(help);
    if (m_model && m_address->text() != m_model->address())
        m_address->setText(m_model->address());
    const QString notice = m_model ? m_model->notice() : QString();
    if (m_noticeText->text() != notice)
        m_noticeText->setText(notice);
    m_noticeBar->setVisible(!notice.isEmpty());
}

void WorkspaceBrowserView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
    if (m_noticeBar->isVisible())
        painter.fillRect(m_noticeBar->geometry(), Theme::inset());
}

} // namespace nbd
