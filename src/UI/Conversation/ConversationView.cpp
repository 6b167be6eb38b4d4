#include "UI/Conversation/ConversationView.h"

#include "Session/SessionModel.h"
#include "UI/Conversation/BottomDock.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ErrorNotice.h"
#include "UI/Conversation/SessionHeader.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Inspection/TrajectoryView.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPropertyAnimation>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

class WelcomeBadge : public QWidget
{
public:
    explicit WelcomeBadge(QWidget *parent = nullptr) : QWidget(parent) { setFixedSize(48, 48); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::brandSoft());
        painter.drawRoundedRect(QRectF(rect()), 10, 10);
        Icons::paint(&painter, QRectF(14, 14, 20, 20), u"sparkles"_s, Theme::brand());
    }
};

// The bordered prominent "新建会话" button in the accent colour.
class ProminentButton : public QAbstractButton
{
public:
    ProminentButton(const QString &text, const QString &symbol, QWidget *parent) : QAbstractButton(parent), m_symbol(symbol)
    {
        setText(text);
        setAccessibleName(text);
        setFont(Fonts::system(13, QFont::Medium));
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        // Repainted as the pointer comes and goes: the face follows underMouse().
        setAttribute(Qt::WA_Hover);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override { return {16 + 14 + 6 + fontMetrics().horizontalAdvance(text()) + 16, 32}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = Theme::brand();
        if (isDown())
            fill = fill.darker(115);
        else if (underMouse())
            fill = fill.lighter(108);
        painter.setPen(hasFocus() ? QPen(Theme::brand().darker(130), 2) : Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 7, 7);
        Icons::paint(&painter, QRectF(16, (height() - 14) / 2.0, 14, 14), m_symbol, Qt::white);
        painter.setPen(Qt::white);
        painter.drawText(QRect(16 + 14 + 6, 0, width(), height()), Qt::AlignLeft | Qt::AlignVCenter, text());
    }

private:
    QString m_symbol;
};

} // namespace

// ---- EmptyStateView ----

EmptyStateView::EmptyStateView(SessionDirectory *directory, QWidget *parent)
    : QWidget(parent)
    , m_directory(directory)
    , m_corner(new QWidget(this))
    , m_newSession(new ProminentButton(u"新建会话"_s, u"square.and.pencil"_s, this))
{
    setObjectName(u"conversation-empty-state"_s);
    auto *column = new QVBoxLayout(this);
    column->setSpacing(16);
    column->addStretch(1);
    column->addWidget(new WelcomeBadge, 0, Qt::AlignHCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(6);
    QLabel *title = TextLabels::make(u"开始使用 Nimbrel Deck"_s, Fonts::system(15, QFont::DemiBold), Theme::primaryText(),
                                     TextLabels::NoOption);
    title->setAlignment(Qt::AlignHCenter);
    QLabel *hint = TextLabels::make(u"选择左侧会话，或创建一个新的工作会话"_s, Fonts::subheadline(), Theme::secondaryText(),
                                    TextLabels::NoOption);
    hint->setAlignment(Qt::AlignHCenter);
    texts->addWidget(title, 0, Qt::AlignHCenter);
    texts->addWidget(hint, 0, Qt::AlignHCenter);
    column->addLayout(texts);
    column->addSpacing(2);
    m_newSession->setObjectName(u"empty-state-new-session"_s);
    column->addWidget(m_newSession, 0, Qt::AlignHCenter);
    column->addStretch(1);
    connect(m_newSession, &QAbstractButton::clicked, this, [this] {
        if (m_directory)
            startStoreTask(m_directory->createSession(std::nullopt, std::nullopt));
    });
    auto *corner = new QHBoxLayout(m_corner);
    corner->setContentsMargins(0, 0, 0, 0);
    corner->setSpacing(4);
}

void EmptyStateView::adoptTrailingControls(QWidget *terminalToggle, QWidget *toolsToggle)
{
    m_corner->layout()->addWidget(terminalToggle);
    m_corner->layout()->addWidget(toolsToggle);
    terminalToggle->show();
    toolsToggle->show();
    resizeEvent(nullptr);
}

void EmptyStateView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

void EmptyStateView::resizeEvent(QResizeEvent *)
{
    const QSize size = m_corner->sizeHint();
    m_corner->setGeometry(width() - 12 - size.width(), 9, size.width(), size.height());
    m_corner->raise();
}

// ---- ConversationView ----

ConversationView::ConversationView(Owners owners, std::function<void()> onToggleRightSidebar,
                                   std::function<void()> onToggleTerminal, OpenInspector onOpenInspector,
                                   QWidget *parent)
    : QWidget(parent)
    , m_owners(std::move(owners))
    , m_onToggleRightSidebar(std::move(onToggleRightSidebar))
    , m_onToggleTerminal(std::move(onToggleTerminal))
    , m_onOpenInspector(std::move(onOpenInspector))
    , m_terminalToggle(new ChromeIconButton(u"rectangle.bottomthird.inset.filled"_s, u"显示或隐藏终端"_s, std::nullopt, [this] {
        if (m_onToggleTerminal)
            m_onToggleTerminal();
    }))
    , m_toolsToggle(new ChromeIconButton(u"sidebar.trailing"_s, u"显示或隐藏工具侧栏"_s, std::nullopt, [this] {
        if (m_onToggleRightSidebar)
            m_onToggleRightSidebar();
    }))
    , m_empty(new EmptyStateView(m_owners.sessions, this))
    , m_sessionView(new QWidget(this))
    , m_header(new SessionHeader(m_owners.sessions, m_owners.selection, m_owners.sessionActions, m_owners.errors,
                                 m_sessionView))
    , m_transcript(new ConversationTranscript(m_owners.sessionActions, m_owners.selection, m_sessionView))
    , m_dock(new BottomDock(m_owners.interactions, m_owners.selection, m_owners.sessionActions, m_onOpenInspector,
                            m_sessionView))
    , m_banner(new ErrorNotice(m_owners.errors, this))
    , m_bannerAnimation(new QPropertyAnimation(m_banner, "pos", this))
{
    setObjectName(u"conversation"_s);
    m_terminalToggle->setObjectName(u"workspace-terminal-toggle"_s);
    m_toolsToggle->setObjectName(u"workspace-tools-toggle"_s);
    m_sessionView->setObjectName(u"conversation-session"_s);
    m_banner->hide();
    m_bannerAnimation->setDuration(160);
    m_bannerAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_bannerAnimation, &QPropertyAnimation::finished, this, [this] {
        if (m_bannerText.isEmpty())
            m_banner->hide();
    });
    m_bannerTimer.setSingleShot(true);
    m_bannerTimer.setTimerType(Qt::PreciseTimer);
    m_bannerTimer.setInterval(kBannerDismissMs);
    connect(&m_bannerTimer, &QTimer::timeout, this, [this] {
        if (m_owners.errors)
            m_owners.errors->dismissTransientError();
    });
    connect(m_header, &SessionHeader::surfaceSelected, this, &ConversationView::setSelectedSurface);
    connect(m_dock, &BottomDock::layoutChanged, this, &ConversationView::relayout);

    if (SessionSelection *selection = m_owners.selection) {
        connect(selection, &SessionSelection::selectedSessionIdChanged, this, &ConversationView::refresh);
        connect(selection, &SessionSelection::sessionModelsChanged, this, &ConversationView::refresh);
        connect(selection, &SessionSelection::selectedSubagentChanged, this, &ConversationView::refresh);
    }
    if (m_owners.errors)
        connect(m_owners.errors, &StoreErrors::transientErrorChanged, this, &ConversationView::updateBanner);
    m_empty->adoptTrailingControls(m_terminalToggle, m_toolsToggle);
    m_sessionView->hide();
    refresh();
    updateBanner();
}

ConversationView::~ConversationView() = default;

bool ConversationView::followsOutput() const { return m_transcript->followsOutput(); }

void ConversationView::setSelectedSurface(ConversationSurface surface)
{
    if (surface == m_surface)
        return;
    m_surface = surface;
    m_header->setSelectedSurface(surface);
    updateSurface();
}

void ConversationView::refresh()
{
    std::shared_ptr<SessionModel> session;
    if (m_owners.selection && m_owners.selection->selectedSessionId())
        session = m_owners.selection->sessionModel(*m_owners.selection->selectedSessionId());
    showSession(std::move(session));
}

void ConversationView::showSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session) {
        relayout();
        return;
    }
    const bool wasShown = m_session != nullptr;
    m_session = std::move(session);
    if (!m_session) {
        m_transcript->setSession(nullptr);
        m_dock->setSession(nullptr);
        m_header->setSession(nullptr);
        if (m_trajectory) {
            m_trajectory->deleteLater();
            m_trajectory = nullptr;
        }
        m_sessionView->hide();
        m_empty->adoptTrailingControls(m_terminalToggle, m_toolsToggle);
        m_empty->show();
        relayout();
        return;
    }
    if (!wasShown) {
        m_header->adoptTrailingControls(m_terminalToggle, m_toolsToggle);
        m_empty->hide();
        m_sessionView->show();
    }
    m_header->setSession(m_session);
    m_header->setSelectedSurface(m_surface);
    m_dock->setSession(m_session);
    m_dock->setSurface(m_surface);
    if (m_trajectory) {
        m_trajectory->deleteLater();
        m_trajectory = nullptr;
    }
    updateSurface();
    relayout();
    // A gap the model flagged in its event stream is mended when the session shows; a
    // subagent run shown in a session's place is never resynchronised from here.
    if (m_owners.selection && !m_owners.selection->selectedSubagent())
        m_owners.selection->resyncSession(m_session->sessionId());
}

QWidget *ConversationView::trajectory() const { return m_trajectory; }

void ConversationView::updateSurface()
{
    m_dock->setSurface(m_surface);
    if (!m_session)
        return;
    if (m_surface == ConversationSurface::trajectory) {
        m_transcript->hide();
        m_transcript->setSession(nullptr);
        if (!m_trajectory) {
            const OpenInspector open = m_onOpenInspector;
            m_trajectory = new TrajectoryView(m_session, [open](const TrajectoryEventSelection &event) {
                if (open)
                    open(RuntimeInspectorPanel::Event, event);
            }, m_sessionView);
        }
        if (m_trajectory)
            m_trajectory->show();
    } else {
        if (m_trajectory) {
            m_trajectory->deleteLater();
            m_trajectory = nullptr;
        }
        m_transcript->setSession(m_session);
        m_transcript->show();
    }
    m_dock->raise();
    relayout();
}

void ConversationView::updateBanner()
{
    const std::optional<QString> message = m_owners.errors ? m_owners.errors->transientError() : std::nullopt;
    const bool animate = !Motion::reduceMotion() && isVisible();
    if (!message) {
        if (m_bannerText.isEmpty())
            return;
        m_bannerText.clear();
        m_bannerTimer.stop();
        if (animate) {
            m_bannerAnimation->stop();
            m_bannerAnimation->setStartValue(m_banner->pos());
            m_bannerAnimation->setEndValue(QPoint(m_banner->x(), -m_banner->height()));
            m_bannerAnimation->start();
        } else {
            m_banner->hide();
        }
        return;
    }
    // The same text keeps its timer; a new one gets six seconds of its own.
    if (*message == m_bannerText && m_banner->isVisible())
        return;
    const bool wasShown = !m_bannerText.isEmpty();
    m_bannerText = *message;
    m_banner->setMessage(*message);
    m_bannerTimer.start();
    const QSize size = m_banner->sizeHint().boundedTo(QSize(std::max(1, width() - 48 + 24), 10000));
    m_banner->resize(size);
    const QPoint target((width() - size.width()) / 2, 10 - 12);
    m_banner->show();
    m_banner->raise();
    if (animate && !wasShown) {
        m_bannerAnimation->stop();
        m_bannerAnimation->setStartValue(QPoint(target.x(), -size.height()));
        m_bannerAnimation->setEndValue(target);
        m_bannerAnimation->start();
    } else {
        m_bannerAnimation->stop();
        m_banner->move(target);
    }
}

void ConversationView::relayout()
{
    const QRect area = rect();
    m_empty->setGeometry(area);
    m_sessionView->setGeometry(area);
    m_header->setGeometry(0, 0, area.width(), SessionHeader::kHeight);
    const QRect surface(0, SessionHeader::kHeight, area.width(), std::max(0, area.height() - SessionHeader::kHeight));
    const int dockHeight = m_session && m_dock->isVisibleTo(m_sessionView) ? std::min(m_dock->heightForWidth(surface.width()), surface.height()) : 0;
    m_dock->setGeometry(surface.x(), surface.bottom() + 1 - dockHeight, surface.width(), dockHeight);
    m_transcript->setGeometry(surface);
    m_transcript->setBottomInset(dockHeight);
    if (m_trajectory)
        m_trajectory->setGeometry(surface.adjusted(0, 0, 0, -dockHeight));
    m_dock->raise();
    if (m_banner->isVisible() && m_bannerAnimation->state() != QAbstractAnimation::Running) {
        const QSize size = m_banner->sizeHint().boundedTo(QSize(std::max(1, width() - 48 + 24), 10000));
        m_banner->resize(size);
        m_banner->move((width() - size.width()) / 2, 10 - 12);
    }
    m_banner->raise();
}

void ConversationView::resizeEvent(QResizeEvent *)
{
    relayout();
}

void ConversationView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
