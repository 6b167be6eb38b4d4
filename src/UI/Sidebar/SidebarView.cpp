#include "UI/Sidebar/SidebarView.h"

#include "Domain/BidiIsolate.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "Session/SessionModel.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Sidebar/NewSessionPopover.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/Theme.h"
#include "UI/Settings/SettingsView.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVariantAnimation>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QColor connectionPhaseColor(const ConnectionPhase &phase)
{
    switch (phase.kind()) {
    case ConnectionPhase::Kind::Disconnected: return QColor(142, 142, 147);
    case ConnectionPhase::Kind::Connecting:
    case ConnectionPhase::Kind::Reconnecting: return QColor::fromRgbF(0.82f, 0.49f, 0.12f);
    case ConnectionPhase::Kind::Ready: return QColor::fromRgbF(0.12f, 0.58f, 0.35f);
    case ConnectionPhase::Kind::Failed: return Theme::systemRed();
    }
    return QColor(142, 142, 147);
}

// ---- Pieces of the column ----

// "Nimbrel Deck" as a button over the whole width it is given: starts a session outside any
// workspace.
class ProductTitleButton : public QAbstractButton
{
public:
    explicit ProductTitleButton(QWidget *parent) : QAbstractButton(parent)
    {
        setObjectName(u"sidebar-product-title"_s);
        setAccessibleName(u"Nimbrel Deck"_s);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setFixedHeight(46);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setFont(Fonts::system(16, QFont::DemiBold));
        painter.setPen(Theme::primaryText());
        painter.drawText(rect(), Qt::AlignVCenter | Qt::AlignLeft,
                         painter.fontMetrics().elidedText(u"Nimbrel Deck"_s, Qt::ElideRight, width()));
    }
};

// The search row: symbol, field, and a clear button while the field holds any text.
class SearchField : public QWidget
{
public:
    explicit SearchField(QWidget *parent)
        : QWidget(parent)
        , field(new QLineEdit(this))
        , clear(new ChromeIconButton(u"xmark.circle.fill"_s, u"清除"_s, Theme::tertiaryText(), {}, this))
    {
        setObjectName(u"sidebar-search"_s);
        setFixedHeight(30);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(10, 0, 6, 0);
        layout->setSpacing(7);
        auto *symbol = new IconView(u"magnifyingglass"_s, 11, this);
        symbol->setTint(Theme::tertiaryText());
        layout->addWidget(symbol);
        field->setObjectName(u"sidebar-search-field"_s);
        field->setPlaceholderText(u"搜索会话"_s);
        field->setAccessibleName(u"搜索会话"_s);
        field->setFrame(false);
        field->setFont(Fonts::body());
        field->setAttribute(Qt::WA_MacShowFocusRect, false);
        field->setStyleSheet(u"QLineEdit { background: transparent; border: none; }"_s);
        layout->addWidget(field, 1);
        clear->setObjectName(u"sidebar-search-clear"_s);
        clear->setFixedSize(18, 18);
        clear->hide();
        layout->addWidget(clear);
    }

    QLineEdit *field;
    ChromeIconButton *clear;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
        painter.fillPath(path, Theme::raised());
        painter.setPen(QPen(Theme::strongHairline(), 1));
        painter.drawPath(path);
    }
};

// The search row's slot in the column. It takes a share of the row's height and shows the
// field fading in as it slides down from the top edge; at 0 it is hidden.
class SearchReveal : public QWidget
{
public:
    static constexpr int kFieldHeight = 30;
    static constexpr int kFullHeight = kFieldHeight + 4;

    SearchReveal(SearchField *field, QWidget *parent)
        : QWidget(parent)
        , m_field(field)
        , m_effect(new QGraphicsOpacityEffect)
    {
        setObjectName(u"sidebar-search-reveal"_s);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        m_field->setParent(this);
        m_effect->setEnabled(false);
        m_field->setGraphicsEffect(m_effect); // the field owns it
        setProgress(1.0);
    }

    qreal progress() const { return m_progress; }
    void setProgress(qreal progress)
    {
        m_progress = std::clamp(progress, 0.0, 1.0);
        setFixedHeight(qRound(kFullHeight * m_progress));
        m_effect->setOpacity(m_progress);
        // At rest the field paints directly.
        m_effect->setEnabled(m_progress < 1.0);
        setVisible(m_progress > 0.0);
        placeField();
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        placeField();
    }

private:
    void placeField()
    {
        m_field->setGeometry(4, qRound(-kFieldHeight * (1.0 - m_progress)), std::max(0, width() - 8), kFieldHeight);
    }

    SearchField *m_field;
    QGraphicsOpacityEffect *m_effect;
    qreal m_progress = 1.0;
};

// "设置" with the connection's coloured dot; its tooltip names the host and how it is reached.
class AccountBar : public QAbstractButton
{
public:
    explicit AccountBar(QWidget *parent) : QAbstractButton(parent), dot(new QWidget(this))
    {
        setObjectName(u"sidebar-settings-button"_s);
        setAccessibleName(u"设置"_s);
        setFixedHeight(34);
        dot->setObjectName(u"sidebar-connection-dot"_s);
        dot->setFixedSize(7, 7);
    }

    void setState(const QString &help, const QString &phaseLabel, const QColor &color)
    {
        setToolTip(plainToolTip(help));
        setAccessibleDescription(help);
        dot->setToolTip(plainToolTip(phaseLabel));
        dot->setAccessibleName(phaseLabel);
        dot->setProperty("phaseColor", color);
        m_color = color;
        update();
    }

    QColor color() const { return m_color; }
    bool hovered = false;
    QWidget *dot;

protected:
    void enterEvent(QEnterEvent *event) override
    {
        hovered = true;
        update();
        QAbstractButton::enterEvent(event);
    }
    void leaveEvent(QEvent *event) override
    {
        hovered = false;
        update();
        QAbstractButton::leaveEvent(event);
    }
    void resizeEvent(QResizeEvent *event) override
    {
        QAbstractButton::resizeEvent(event);
        dot->move(width() - 10 - dot->width(), (height() - dot->height()) / 2);
    }
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (hovered) {
            QPainterPath path;
            path.addRoundedRect(QRectF(rect()), 12, 12);
            painter.fillPath(path, Theme::selection());
        }
        Icons::paint(&painter, QRectF(10 + 1, (height() - 14) / 2.0, 14, 14), u"gearshape"_s, Theme::primaryText());
        painter.setFont(Fonts::system(14));
        painter.setPen(Theme::primaryText());
        painter.drawText(QRect(10 + 16 + 8, 0, std::max(0, width() - 60), height()), Qt::AlignVCenter | Qt::AlignLeft,
                         u"设置"_s);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_color);
        painter.drawEllipse(QRectF(dot->geometry()));
    }

private:
    QColor m_color;
};

// ---- SidebarView ----

SidebarView::SidebarView(SessionDirectory *directory, SessionSelection *selection, SettingsOwners settings,
                         std::function<void()> onCollapse, Binding<bool> searchVisible, QWidget *parent)
    : QWidget(parent)
    , m_directory(directory)
    , m_selection(selection)
    , m_settings(std::move(settings))
    , m_onCollapse(std::move(onCollapse))
    , m_searchVisible(std::move(searchVisible))
    , m_searchTimer(new QTimer(this))
    , m_newSessionButton(new NewSessionButton(this))
    , m_searchToggle(new ChromeIconButton(u"magnifyingglass"_s, u"搜索会话"_s, Theme::secondaryText(), {}, nullptr))
    , m_searchField(new SearchField(this))
    , m_searchReveal(new SearchReveal(m_searchField, this))
    , m_searchAnimation(new QVariantAnimation(this))
    , m_toggleAnimation(new QVariantAnimation(this))
    , m_toggleEffect(new QGraphicsOpacityEffect)
    , m_list(new SidebarListView(directory, selection, &m_headerActions, this))
    , m_accountBar(new AccountBar(this))
    , m_connectionStatus(m_settings.connectionStatus)
{
    setObjectName(u"sidebar"_s);
    m_searchTimer->setSingleShot(true);
    m_searchTimer->setTimerType(Qt::PreciseTimer);
    m_searchTimer->setInterval(kSearchDebounceMs);
    connect(m_searchTimer, &QTimer::timeout, this, &SidebarView::startRemoteSearch);
    connect(m_list, &SidebarListView::liveRowsChanged, this, &SidebarView::orderFocusChain);

    m_headerActions.toggle = [this](const QString &id) { toggleWorkspace(id); };
    m_headerActions.createSession = [this](const WorkspaceView &workspace) {
        if (m_directory)
            startStoreTask(m_directory->createSession(std::nullopt, workspace.workspaceId));
    };
    m_headerActions.rename = [this](const WorkspaceView &workspace) { presentWorkspaceRename(workspace); };
    m_headerActions.remove = [this](const WorkspaceView &workspace) { confirmWorkspaceRemoval(workspace); };

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 6, 12, 6);
    layout->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(4, 0, 0, 0);
    header->setSpacing(8);
    auto *title = new ProductTitleButton(this);
    connect(title, &QAbstractButton::clicked, this,
            [this] { startCreateSession(m_directory); });
    header->addWidget(title, 1);
    auto *collapse = new ChromeIconButton(u"sidebar.left"_s, u"收起侧栏"_s, std::nullopt, [this] {
        if (m_onCollapse)
            m_onCollapse();
    });
    collapse->setObjectName(u"sidebar-collapse"_s);
    header->addWidget(collapse);
    layout->addLayout(header);
    layout->addSpacing(4);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->setContentsMargins(2, 0, 2, 0);
    buttonRow->addWidget(m_newSessionButton);
    layout->addLayout(buttonRow);
    layout->addSpacing(8);
    connect(m_newSessionButton, &QAbstractButton::clicked, this,
            [this] { setNewSessionPresented(!m_newSessionPresented); });

    layout->addWidget(m_searchReveal);
    m_searchAnimation->setDuration(kSearchToggleMs);
    m_searchAnimation->setEasingCurve(Motion::easeInOut());
    connect(m_searchAnimation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant &value) { m_searchReveal->setProgress(value.toReal()); });
    connect(m_searchField->field, &QLineEdit::textChanged, this, &SidebarView::setSearchText);
    connect(m_searchField->clear, &QAbstractButton::clicked, this, [this] { setSearchText(QString()); });

    // The list's own header row: "工作区" and the search toggle.
    auto *listHeader = new QWidget;
    listHeader->setObjectName(u"sidebar-list-header"_s);
    auto *listHeaderLayout = new QHBoxLayout(listHeader);
    listHeaderLayout->setContentsMargins(4, 2, 0, 4);
    auto *workspacesLabel = new QLabel(u"工作区"_s, listHeader);
    workspacesLabel->setFont(Fonts::system(14));
    QPalette labelPalette = workspacesLabel->palette();
    labelPalette.setColor(QPalette::WindowText, Theme::tertiaryText());
    workspacesLabel->setPalette(labelPalette);
    listHeaderLayout->addWidget(workspacesLabel);
    listHeaderLayout->addStretch(1);
    m_searchToggle->setParent(listHeader);
    m_searchToggle->setObjectName(u"sidebar-search-toggle"_s);
    m_toggleEffect->setEnabled(false);
    m_searchToggle->setGraphicsEffect(m_toggleEffect); // the button owns it
    listHeaderLayout->addWidget(m_searchToggle);
    m_toggleAnimation->setStartValue(0.0);
    m_toggleAnimation->setEndValue(1.0);
    m_toggleAnimation->setDuration(kSearchToggleMs);
    m_toggleAnimation->setEasingCurve(Motion::easeInOut());
    connect(m_toggleAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        const qreal t = value.toReal();
        if (t >= 0.5)
            m_searchToggle->setSymbolName(m_toggleSymbol);
        m_toggleEffect->setOpacity(std::abs(1.0 - 2.0 * t));
    });
    connect(m_toggleAnimation, &QVariantAnimation::finished, this, [this] {
        m_searchToggle->setSymbolName(m_toggleSymbol);
        m_toggleEffect->setEnabled(false);
    });
    connect(m_searchToggle, &QAbstractButton::clicked, this, [this] {
        const bool show = !this->searchVisible();
        m_searchToggling = true;
        if (m_searchVisible.set)
            m_searchVisible.set(show);
        m_searchToggling = false;
        if (!show)
            setSearchText(QString());
        applySearchVisible(true);
    });
    m_list->setHeader(listHeader, 2 + 36 + 4);
    // The rows are the list's stops for Tab, not the scroll area itself.
    m_list->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(m_list, 1);

    layout->addSpacing(4);
    layout->addWidget(m_accountBar);
    layout->addSpacing(4);
    connect(m_accountBar, &QAbstractButton::clicked, this, &SidebarView::presentSettings);

    if (directory && selection) {
        for (auto signal : {&SessionDirectory::sessionsChanged, &SessionDirectory::workspacesChanged,
                            &SessionDirectory::archivedSessionIdsChanged})
            connect(directory, signal, this, &SidebarView::scheduleRebuild);
        for (auto signal : {&SessionSelection::selectedSessionIdChanged, &SessionSelection::selectedSubagentChanged})
            connect(selection, signal, this, &SidebarView::scheduleRebuild);
        connect(selection, &SessionSelection::sessionModelsChanged, this, [this] {
            // Open sessions' own titles name their rows.
            for (const auto &model : m_selection->sessionModels())
                connect(model.get(), &SessionModel::titleChanged, this, &SidebarView::scheduleRebuild,
                        Qt::UniqueConnection);
            scheduleRebuild();
        });
        for (const auto &model : selection->sessionModels())
            connect(model.get(), &SessionModel::titleChanged, this, &SidebarView::scheduleRebuild, Qt::UniqueConnection);
    }
    if (m_connectionStatus)
        connect(m_connectionStatus, &ConnectionStatus::changed, this, &SidebarView::refreshAccountBar);
    // Tab walks the column top to bottom; rebuild() slots the rows in before the account bar.
    setTabOrder(title, collapse);
    setTabOrder(collapse, m_newSessionButton);
    setTabOrder(m_newSessionButton, m_searchField->field);
    setTabOrder(m_searchField->field, m_searchField->clear);
    setTabOrder(m_searchField->clear, m_searchToggle);
    setTabOrder(m_searchToggle, m_accountBar);

    refreshAccountBar();
    refresh();
    rebuildNow();
}

SidebarView::~SidebarView()
{
    // A search reply that arrives later finds the sidebar gone.
    m_alive.reset();
    if (m_popover)
        m_popover->close();
}

void SidebarView::refresh() { applySearchVisible(m_searchToggling); }

void SidebarView::focusSearchField()
{
    if (searchVisible() && isVisible())
        m_searchField->field->setFocus(Qt::OtherFocusReason);
}

void SidebarView::applySearchVisible(bool animated)
{
    const bool visible = searchVisible();
    const QString symbol = visible ? u"xmark"_s : u"magnifyingglass"_s;
    const qreal target = visible ? 1.0 : 0.0;
    m_searchToggle->setToolTip(visible ? u"关闭搜索"_s : u"搜索会话"_s);
    m_searchToggle->setAccessibleName(m_searchToggle->toolTip());
    if (!animated || Motion::reduceMotion() || !isVisible()) {
        m_searchAnimation->stop();
        m_toggleAnimation->stop();
        m_searchReveal->setProgress(target);
        m_searchToggle->setSymbolName(symbol);
        m_toggleEffect->setEnabled(false);
    } else {
        // A second call for the same change (the binding's setter re-reads it) keeps the
        // running animations; a reversal starts from where the field is now.
        const bool searchRunning = m_searchAnimation->state() == QAbstractAnimation::Running;
        if (!(searchRunning && m_searchAnimation->endValue().toReal() == target)) {
            m_searchAnimation->stop();
            if (m_searchReveal->progress() != target) {
                m_searchAnimation->setStartValue(m_searchReveal->progress());
                m_searchAnimation->setEndValue(target);
                m_searchAnimation->start();
            }
        }
        const bool toggleRunning = m_toggleAnimation->state() == QAbstractAnimation::Running;
        if (!(toggleRunning && m_toggleSymbol == symbol)) {
            m_toggleAnimation->stop();
            m_toggleEffect->setEnabled(false);
            if (m_searchToggle->symbolName() != symbol) {
                m_toggleSymbol = symbol;
                m_toggleEffect->setOpacity(1.0);
                m_toggleEffect->setEnabled(true);
                m_toggleAnimation->start();
            }
        }
    }
    if (visible && isVisible())
        m_searchField->field->setFocus();
}

void SidebarView::setSearchText(const QString &text)
{
    if (m_searchField->field->text() != text)
        m_searchField->field->setText(text); // comes back here through textChanged
    if (m_searchText == text)
        return;
    m_searchText = text;
    m_searchField->clear->setVisible(!text.isEmpty());
    searchTextEdited();
    scheduleRebuild();
}

void SidebarView::searchTextEdited()
{
    const QString query = normalizedSearchText(m_searchText);
    // Only a change of the trimmed text restarts the pause; blanks typed at either end do not.
    if (query == m_searchQuery)
        return;
    m_searchQuery = query;
    ++m_searchGeneration;
    if (query.isEmpty()) {
        m_searchTimer->stop();
        if (!m_remoteSearchMatches.isEmpty()) {
            m_remoteSearchMatches.clear();
            scheduleRebuild();
        }
        return;
    }
    m_searchTimer->start();
}

void SidebarView::startRemoteSearch() { runRemoteSearch(m_searchQuery, m_searchGeneration); }

QCoro::Task<void> SidebarView::runRemoteSearch(QString query, quint64 generation)
{
    const std::weak_ptr<const bool> alive = m_alive;
    QPointer<SessionDirectory> directory = m_directory;
    if (!directory)
        co_return;
    QSet<QString> matches = co_await directory->searchSessionIds(query);
    if (alive.expired() || generation != m_searchGeneration)
        co_return;
    if (m_remoteSearchMatches == matches)
        co_return;
    m_remoteSearchMatches = std::move(matches);
    scheduleRebuild();
}

void SidebarView::toggleWorkspace(const QString &workspaceId)
{
    if (!m_collapsedWorkspaceIds.remove(workspaceId))
        m_collapsedWorkspaceIds.insert(workspaceId);
    rebuild(workspaceId);
}

void SidebarView::scheduleRebuild()
{
    if (m_rebuildPending)
        return;
    m_rebuildPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_rebuildPending)
            rebuildNow();
    });
}

void SidebarView::rebuildNow() { rebuild(QString()); }

void SidebarView::rebuild(const QString &toggledWorkspaceId)
{
    m_rebuildPending = false;
    if (!m_directory || !m_selection) {
        m_list->setRows({});
        return;
    }
    SidebarListInput input;
    input.sessions = m_directory->sessions();
    input.workspaces = m_directory->workspaces();
    input.archivedSessionIds = m_directory->archivedSessionIds();
    const auto &models = m_selection->sessionModels();
    for (auto it = models.cbegin(); it != models.cend(); ++it) {
        if (it.value() && it.value()->title())
            input.modelTitles.insert(it.key(), *it.value()->title());
    }
    input.selectedSessionId = m_selection->selectedSidebarSessionId();
    input.searchText = m_searchText;
    input.collapsedWorkspaceIds = m_collapsedWorkspaceIds;
    input.remoteSearchMatches = m_remoteSearchMatches;
    m_list->setRows(makeListRows(input), toggledWorkspaceId);
}

void SidebarView::orderFocusChain()
{
    // New rows join the focus chain at its end: put every row back between the search toggle
    // and the account bar, in list order.
    QWidget *previous = m_searchToggle;
    for (size_t i = 0; i < m_list->rows().size(); ++i) {
        QWidget *row = m_list->rowWidget(i);
        if (!row || !(row->focusPolicy() & Qt::TabFocus))
            continue;
        if (previous->nextInFocusChain() != row)
            setTabOrder(previous, row);
        previous = row;
    }
    if (previous->nextInFocusChain() != m_accountBar)
        setTabOrder(previous, m_accountBar);
}

bool SidebarView::focusNextPrevChild(bool next)
{
    // The rows at the list's ends may have no widget while scrolled away: the step into the
    // list brings its first or last row into view.
    QWidget *focus = QApplication::focusWidget();
    if (next && focus == m_searchToggle) {
        if (const auto row = m_list->focusableRow(0, true))
            return m_list->focusRow(*row, Qt::TabFocusReason);
    }
    if (!next && focus == m_accountBar && !m_list->rows().empty()) {
        if (const auto row = m_list->focusableRow(qsizetype(m_list->rows().size()) - 1, false))
            return m_list->focusRow(*row, Qt::BacktabFocusReason);
    }
    return QWidget::focusNextPrevChild(next);
}

void SidebarView::refreshAccountBar()
{
    if (!m_connectionStatus)
        return;
    const ConnectionPhase &phase = m_connectionStatus->phase();
    const QString help = u"设置 · "_s + m_connectionStatus->title() + u" · "_s + m_connectionStatus->detail();
    m_accountBar->setState(help, phase.label(), connectionPhaseColor(phase));
}

void SidebarView::setNewSessionPresented(bool presented)
{
    if (presented == m_newSessionPresented)
        return;
    if (!presented) {
        if (m_popover)
            m_popover->close(); // its dismissal resets the flag
        m_newSessionPresented = false;
        return;
    }
    m_newSessionPresented = true;
    auto *popover = new NewSessionPopover(m_directory, [this, alive = std::weak_ptr<const bool>(m_alive)] {
        if (alive.expired())
            return;
        m_newSessionPresented = false;
    }, this);
    // The click outside that closes the popover must not reach the button and reopen it.
    popover->setAttribute(Qt::WA_NoMouseReplay);
    m_popover = popover;
    popover->showBelow(m_newSessionButton);
}

void SidebarView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    registerShortcut();
}

void SidebarView::registerShortcut()
{
    if (m_shortcutChecked)
        return;
    m_shortcutChecked = true;
    // One action per shortcut and window: when the window's menu already answers Ctrl+N,
    // that command keeps it.
    const QKeySequence key(Qt::CTRL | Qt::Key_N);
    QWidget *win = window();
    const auto actions = win->findChildren<QAction *>();
    for (const QAction *action : actions) {
        if (action->shortcuts().contains(key))
            return;
    }
    const auto shortcuts = win->findChildren<QShortcut *>();
    for (const QShortcut *shortcut : shortcuts) {
        if (shortcut->key() == key)
            return;
    }
    auto *shortcut = new QShortcut(key, win);
    shortcut->setObjectName(u"sidebar-new-session-shortcut"_s);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] { setNewSessionPresented(!m_newSessionPresented); });
}

void SidebarView::presentSettings()
{
    if (m_showSettings)
        return;
    m_showSettings = true;
    auto *sheet = new QDialog(window());
    sheet->setObjectName(u"settings-sheet"_s);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(u"设置"_s);
    auto *layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new SettingsView(m_settings, sheet));
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(sheet, &QDialog::finished, this, [this] { m_showSettings = false; });
    sheet->open();
}

void SidebarView::presentWorkspaceRename(const WorkspaceView &workspace)
{
    QPointer<SessionDirectory> directory = m_directory;
    const QString workspaceId = workspace.workspaceId;
    openTextFieldDialog(window(), u"rename-workspace-dialog"_s, u"重命名项目"_s, workspace.path, workspace.title, 280,
                        [directory, workspaceId](const QString &title) {
                            if (directory)
                                directory->renameWorkspace(workspaceId, title);
                        });
}

void SidebarView::confirmWorkspaceRemoval(const WorkspaceView &workspace)
{
    auto *box = new QMessageBox(QMessageBox::Warning, u"移除项目"_s, u"移除项目“"_s + text::bidiIsolated(workspace.title) + u"”？"_s,
                                QMessageBox::NoButton, window());
    box->setObjectName(u"remove-workspace-dialog"_s);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(u"只会移除 NBD 中的项目分组。目录与会话日志都会保留，相关会话将移到“最近”。"_s);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QPushButton *remove = box->addButton(u"移除项目"_s, QMessageBox::AcceptRole);
    remove->setObjectName(u"dialog-confirm"_s);
    QPushButton *cancel = box->addButton(u"取消"_s, QMessageBox::RejectRole);
    cancel->setObjectName(u"dialog-cancel"_s);
    box->setDefaultButton(remove);
    box->setEscapeButton(cancel);
    setMessageBoxMinimumWidth(box);
    QPointer<SessionDirectory> directory = m_directory;
    const QString workspaceId = workspace.workspaceId;
    connect(box, &QMessageBox::finished, box, [box, remove, directory, workspaceId] {
        if (box->clickedButton() == remove && directory)
            directory->deleteWorkspace(workspaceId);
    });
    box->open();
}

} // namespace nbd
