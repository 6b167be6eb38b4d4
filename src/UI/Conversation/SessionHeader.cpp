#include "UI/Conversation/SessionHeader.h"

#include "Domain/BidiIsolate.h"
#include "Session/SessionModel.h"
#include "Store/SessionActions.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "Store/StoreErrors.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Inspection/SubagentCatalogView.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/Theme.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// "Session log": a capsule with the download symbol.
class LogButton : public QAbstractButton
{
public:
    explicit LogButton(QWidget *parent) : QAbstractButton(parent)
    {
        setObjectName(u"session-log-export"_s);
        setText(u"Session log"_s);
        setAccessibleName(text());
        setFont(Fonts::system(11, QFont::Medium));
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        // Repainted as the pointer comes and goes: the face follows underMouse().
        setAttribute(Qt::WA_Hover);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override { return {10 + 12 + 5 + fontMetrics().horizontalAdvance(text()) + 10, 28}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.setPen(QPen(hasFocus() ? Theme::brand() : Theme::strongHairline(), 1));
        painter.setBrush(underMouse() ? Theme::hover() : Theme::raised());
        painter.drawRoundedRect(box, box.height() / 2, box.height() / 2);
        Icons::paint(&painter, QRectF(10, (height() - 12) / 2.0, 12, 12), u"square.and.arrow.down"_s,
                     Theme::primaryText());
        painter.setPen(Theme::primaryText());
        painter.drawText(QRect(10 + 12 + 5, 0, width(), height()), Qt::AlignLeft | Qt::AlignVCenter, text());
    }
};

// Writes the whole archive or says why not. Unbuffered, so that every write reaches the file
// while its error can still be read (a failed flush at commit would pass unnoticed). A write
// that stops short (a disk that fills up part way) returns a count without an error text;
// writing the rest again hits the error itself and names it.
QString writeArchive(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    qint64 written = 0;
    while (written < data.size()) {
        const qint64 n = file.write(data.constData() + written, data.size() - written);
        if (n <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return reason;
        }
        written += n;
    }
    if (!file.commit())
        return file.errorString();
    return {};
}

QCoro::Task<void> runExport(std::weak_ptr<const bool> alive, QPointer<SessionHeader> header,
                            QPointer<SessionActions> sessionActions, QPointer<StoreErrors> errors, QString sessionId,
                            QString directory)
{
    if (!sessionActions)
        co_return;
    const std::optional<SessionExport> archive = co_await sessionActions->exportSession(sessionId);
    // The store has already reported a failed download; a header that went away shows nothing.
    if (!archive || alive.expired() || !header)
        co_return;
    auto *dialog = new QFileDialog(header->window(), u"导出会话日志"_s);
    dialog->setObjectName(u"session-log-export-dialog"_s);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setLabelText(QFileDialog::Accept, u"导出"_s);
    dialog->setDirectory(directory.isEmpty() ? QDir::homePath() : directory);
    dialog->selectFile(archive->suggestedName);
    const QByteArray data = archive->data;
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [data, errors](const QString &path) {
        if (path.isEmpty())
            return;
        const QString failure = writeArchive(path, data);
        // The user confirmed a place: a file that was not written must not look like success.
        if (!failure.isEmpty() && errors)
            errors->showTransientError(u"导出失败："_s + failure);
    });
    Q_EMIT header->exportDialogOpened(dialog);
    dialog->open();
}

} // namespace

// ---- SurfaceTab ----

SurfaceTab::SurfaceTab(ConversationSurface surface, QWidget *parent)
    : QAbstractButton(parent)
    , m_surface(surface)
{
    setObjectName(u"surface-tab-"_s + conversationSurfaceRawValue(surface));
    setText(conversationSurfaceLabel(surface));
    setAccessibleName(text());
    setFont(Fonts::system(12, QFont::Medium));
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setSelected(false);
}

// A tab, not a toggle: pressing it selects its surface (as a click does), and the selection
// is announced as the tab's selected state.
void SurfaceTab::setSelected(bool selected)
{
    m_selected = selected;
    Accessibility::describe(this, QAccessible::PageTab, {.selectable = true, .selected = selected});
    update();
}

QSize SurfaceTab::sizeHint() const { return {fontMetrics().horizontalAdvance(text()) + 2, 29}; }

void SurfaceTab::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(m_selected ? Theme::brand() : Theme::secondaryText());
    painter.drawText(QRect(0, 0, width(), height() - 4), Qt::AlignHCenter | Qt::AlignTop, text());
    if (m_selected) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::brand());
        painter.drawRoundedRect(QRectF(0, height() - 2, width(), 2), 1, 1);
    } else if (hasFocus()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::strongHairline());
        painter.drawRoundedRect(QRectF(0, height() - 2, width(), 2), 1, 1);
    }
}

// ---- SessionHeader ----

SessionHeader::SessionHeader(SessionDirectory *directory, SessionSelection *selection, SessionActions *sessionActions,
                             StoreErrors *errors, QWidget *parent)
    : QWidget(parent)
    , m_directory(directory)
    , m_selection(selection)
    , m_sessionActions(sessionActions)
    , m_errors(errors)
    , m_back(new ChromeIconButton(u"chevron.left"_s, u"返回父会话"_s, std::nullopt, [this] {
        if (m_selection)
            m_selection->selectParentOfCurrentSubagent();
    }))
    , m_title(new ElidedLabel)
    , m_menuButton(new ChromeIconButton(u"ellipsis"_s, u"会话操作"_s, std::nullopt, {}))
    , m_menu(new QMenu(this))
    , m_firstRow(new QHBoxLayout)
    , m_logButton(new LogButton(this))
    , m_chatTab(new SurfaceTab(ConversationSurface::chat))
    , m_trajectoryTab(new SurfaceTab(ConversationSurface::trajectory))
{
    setObjectName(u"session-header"_s);
    setFixedHeight(kHeight);
    m_back->setObjectName(u"session-back"_s);
    m_title->setObjectName(u"session-title"_s);
    m_title->setFont(Fonts::system(14, QFont::DemiBold));
    m_title->setColor(Theme::primaryText());
    m_title->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    m_menuButton->setObjectName(u"session-actions"_s);
    m_menu->setObjectName(u"session-actions-menu"_s);
    connect(m_menuButton, &QAbstractButton::clicked, this, [this] {
        rebuildMenu();
        m_menu->popup(m_menuButton->mapToGlobal(QPoint(0, m_menuButton->height())));
    });
    connect(m_logButton, &QAbstractButton::clicked, this, &SessionHeader::exportSession);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(16, 7, 16, 0);
    column->setSpacing(0);
    auto *first = new QWidget;
    first->setFixedHeight(34);
    m_firstRow->setParent(nullptr);
    first->setLayout(m_firstRow);
    m_firstRow->setContentsMargins(0, 0, 0, 0);
    m_firstRow->setSpacing(8);
    m_firstRow->addWidget(m_back);
    m_firstRow->addWidget(m_title, 0);
    m_firstRow->addWidget(m_menuButton);
    m_firstRow->addStretch(1);
    m_firstRow->addSpacing(2);
    m_firstRow->addWidget(m_logButton);
    column->addWidget(first);

    auto *second = new QWidget;
    second->setObjectName(u"surface-tabs"_s);
    second->setFixedHeight(29);
    Accessibility::describe(second, QAccessible::PageTabList);
    auto *tabs = new QHBoxLayout(second);
    tabs->setContentsMargins(8, 0, 0, 0);
    tabs->setSpacing(30);
    for (SurfaceTab *tab : {m_chatTab, m_trajectoryTab}) {
        tabs->addWidget(tab);
        connect(tab, &QAbstractButton::clicked, this, [this, tab] {
            setSelectedSurface(tab->surface());
            Q_EMIT surfaceSelected(tab->surface());
        });
    }
    tabs->addStretch(1);
    column->addWidget(second);
    m_chatTab->setSelected(true);

    if (selection)
        connect(selection, &SessionSelection::selectedSubagentChanged, this, &SessionHeader::refresh);
    if (directory)
        connect(directory, &SessionDirectory::sessionsChanged, this, &SessionHeader::refresh);
}

SessionHeader::~SessionHeader()
{
    m_alive.reset();
    disconnect(m_titleConnection);
}

void SessionHeader::adoptTrailingControls(QWidget *terminalToggle, QWidget *toolsToggle)
{
    m_firstRow->addWidget(terminalToggle);
    m_firstRow->addWidget(toolsToggle);
    terminalToggle->show();
    toolsToggle->show();
    m_terminalToggle = terminalToggle;
    m_toolsToggle = toolsToggle;
    orderFocusChain();
}

// Controls that join the header after it was built (the panel toggles, the subagent
// catalogue) would come last in the focus chain; Tab follows the order they are drawn in.
void SessionHeader::orderFocusChain()
{
    QList<QWidget *> chain{m_back, m_menuButton};
    if (m_catalog)
        chain << m_catalog;
    chain << m_logButton;
    for (QWidget *toggle : {m_terminalToggle.data(), m_toolsToggle.data()}) {
        if (toggle && isAncestorOf(toggle))
            chain << toggle;
    }
    chain << m_chatTab << m_trajectoryTab;
    for (qsizetype i = 1; i < chain.size(); ++i)
        setTabOrder(chain[i - 1], chain[i]);
}

void SessionHeader::setSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session)
        return;
    disconnect(m_titleConnection);
    m_session = std::move(session);
    if (m_session)
        m_titleConnection = connect(m_session.get(), &SessionModel::titleChanged, this, &SessionHeader::refresh);
    refresh();
}

void SessionHeader::setSelectedSurface(ConversationSurface surface)
{
    m_chatTab->setSelected(surface == ConversationSurface::chat);
    m_trajectoryTab->setSelected(surface == ConversationSurface::trajectory);
}

SurfaceTab *SessionHeader::tab(ConversationSurface surface) const
{
    return surface == ConversationSurface::chat ? m_chatTab : m_trajectoryTab;
}

QString SessionHeader::titleFor(const SessionDirectory &directory, const SessionSelection &selection,
                                const SessionModel &session)
{
    if (const auto &subagent = selection.selectedSubagent())
        return subagent->label;
    if (session.title())
        return *session.title();
    for (const SessionSummary &summary : directory.sessions()) {
        if (summary.sessionId == session.sessionId())
            return summary.displayTitle();
    }
    return session.sessionId();
}

QString SessionHeader::title() const { return m_titleText; }

void SessionHeader::refresh()
{
    if (!m_directory || !m_selection || !m_session)
        return;
    m_back->setVisible(m_selection->selectedSubagent().has_value());
    m_titleText = titleFor(*m_directory, *m_selection, *m_session);
    m_title->setText(text::bidiIsolated(m_titleText));
    // The subagent catalogue belongs to the shown session.
    if (m_catalogFor != m_session->sessionId()) {
        if (m_catalog) {
            m_catalog->hide();
            m_catalog->deleteLater();
        }
        m_catalog = new SubagentCatalogView(m_directory, m_selection, m_session->sessionId(), this);
        m_catalogFor = m_session->sessionId();
        if (m_catalog)
            m_firstRow->insertWidget(m_firstRow->indexOf(m_logButton), m_catalog);
        orderFocusChain();
    }
}

void SessionHeader::rebuildMenu()
{
    m_menu->clear();
    QAction *exportAction = m_menu->addAction(QIcon(Icons::pixmap(u"square.and.arrow.down"_s, 16, Theme::primaryText(), devicePixelRatioF())),
                                              u"导出会话日志"_s);
    exportAction->setObjectName(u"session-export-action"_s);
    connect(exportAction, &QAction::triggered, this, &SessionHeader::exportSession);
    if (m_selection && !m_selection->selectedSubagent()) {
        QAction *fork = m_menu->addAction(QIcon(Icons::pixmap(u"arrow.triangle.branch"_s, 16, Theme::primaryText(), devicePixelRatioF())),
                                          u"Fork 此会话"_s);
        fork->setObjectName(u"session-fork-action"_s);
        connect(fork, &QAction::triggered, this, [this] {
            if (m_directory && m_session)
                startStoreTask(m_directory->forkSession(m_session->sessionId()));
        });
    }
}

void SessionHeader::exportSession()
{
    if (!m_session)
        return;
    runExport(m_alive, QPointer<SessionHeader>(this), m_sessionActions, m_errors, m_session->sessionId(),
              m_exportDirectory);
}

void SessionHeader::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
    painter.fillRect(QRect(0, height() - 1, width(), 1), Theme::strongHairline());
}

} // namespace nbd
