#include "UI/Sidebar/SidebarRowViews.h"

#include "Domain/BidiIsolate.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QMessageBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

void paintRounded(QPainter &painter, const QRectF &rect, qreal radius, const QColor &fill)
{
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    painter.fillPath(path, fill);
}

} // namespace

void setMessageBoxMinimumWidth(QMessageBox *box, int width)
{
    // A message box overrides its minimum size from its contents; a spacer across its grid is
    // what its layout honours.
    if (auto *grid = qobject_cast<QGridLayout *>(box->layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
}

QDialog *openTextFieldDialog(QWidget *parent, const QString &objectName, const QString &message,
                             const QString &informative, const QString &text, int fieldWidth,
                             std::function<void(const QString &)> accepted)
{
    auto *dialog = new QDialog(parent);
    dialog->setObjectName(objectName);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setWindowTitle(message);
    dialog->setMinimumWidth(std::max(kDialogMinimumWidth, fieldWidth + 40));
    auto *layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(20, 18, 20, 14);
    layout->setSpacing(8);
    auto *title = new QLabel(message, dialog);
    title->setTextFormat(Qt::PlainText);
    title->setFont(Fonts::system(13, QFont::DemiBold));
    auto *detail = new QLabel(informative, dialog);
    detail->setTextFormat(Qt::PlainText);
    detail->setWordWrap(true);
    detail->setFont(Fonts::callout());
    auto *field = new QLineEdit(text, dialog);
    field->setObjectName(u"rename-field"_s);
    field->setFixedSize(fieldWidth, 24);
    field->selectAll();
    auto *buttons = new QDialogButtonBox(dialog);
    QPushButton *ok = buttons->addButton(u"确定"_s, QDialogButtonBox::AcceptRole);
    ok->setObjectName(u"dialog-confirm"_s);
    ok->setDefault(true);
    QPushButton *cancel = buttons->addButton(u"取消"_s, QDialogButtonBox::RejectRole);
    cancel->setObjectName(u"dialog-cancel"_s);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(title);
    layout->addWidget(detail);
    layout->addWidget(field);
    layout->addWidget(buttons);
    QObject::connect(dialog, &QDialog::accepted, dialog, [field, accepted = std::move(accepted)] {
        if (accepted)
            accepted(field->text());
    });
    dialog->open();
    field->setFocus();
    return dialog;
}

// ---- WorkspaceHeaderRow ----

WorkspaceHeaderRow::WorkspaceHeaderRow(const WorkspaceHeaderActions *actions, QWidget *parent)
    : QAbstractButton(parent)
    , m_actions(actions)
    , m_menuButton(new ChromeIconButton(u"ellipsis"_s, u"项目操作"_s, std::nullopt, {}, this))
{
    setFixedHeight(kHeight);
    setCursor(Qt::ArrowCursor);
    m_menuButton->setObjectName(u"workspace-actions-menu"_s);
    m_menuButton->setFixedSize(24, 24);
    // Invisible and click-through until the pointer is over the row.
    m_menuButton->hide();
    connect(m_menuButton, &QAbstractButton::clicked, this, [this] {
        QMenu *menu = makeActionsMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(m_menuButton->mapToGlobal(QPoint(0, m_menuButton->height())));
    });
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_actions && m_actions->toggle)
            m_actions->toggle(m_workspace.workspaceId);
    });
}

bool WorkspaceHeaderRow::setRow(const WorkspaceView &workspace, bool collapsed)
{
    if (m_workspace == workspace && m_collapsed == collapsed && m_revision > 0)
        return false;
    m_workspace = workspace;
    m_collapsed = collapsed;
    ++m_revision;
    setObjectName(u"workspace-header-"_s + workspace.workspaceId);
    setToolTip(plainToolTip(workspace.path));
    setAccessibleName(workspace.title);
    setAccessibleDescription(workspace.path);
    Accessibility::describe(this, QAccessible::Button, {.expandable = true, .expanded = !collapsed});
    update();
    return true;
}

QString WorkspaceHeaderRow::symbolName() const { return m_hovering ? u"chevron.right"_s : u"folder"_s; }

QMenu *WorkspaceHeaderRow::makeActionsMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(u"workspace-actions"_s);
    const WorkspaceView workspace = m_workspace;
    const WorkspaceHeaderActions *actions = m_actions;
    QAction *create = menu->addAction(Icons::pixmap(u"square.and.pencil"_s, 16, Theme::secondaryText()),
                                      u"在此项目中新建会话"_s);
    connect(create, &QAction::triggered, menu, [actions, workspace] {
        if (actions && actions->createSession)
            actions->createSession(workspace);
    });
    menu->addSeparator();
    QAction *rename = menu->addAction(Icons::pixmap(u"pencil"_s, 16, Theme::secondaryText()), u"重命名项目…"_s);
    connect(rename, &QAction::triggered, menu, [actions, workspace] {
        if (actions && actions->rename)
            actions->rename(workspace);
    });
    QAction *remove = menu->addAction(Icons::pixmap(u"trash"_s, 16, Theme::systemRed()), u"移除项目…"_s);
    remove->setProperty("destructive", true);
    connect(remove, &QAction::triggered, menu, [actions, workspace] {
        if (actions && actions->remove)
            actions->remove(workspace);
    });
    return menu;
}

void WorkspaceHeaderRow::setHovering(bool hovering)
{
    if (m_hovering == hovering)
        return;
    m_hovering = hovering;
    m_menuButton->setVisible(hovering);
    update();
}

void WorkspaceHeaderRow::enterEvent(QEnterEvent *event)
{
    setHovering(true);
    QAbstractButton::enterEvent(event);
}

void WorkspaceHeaderRow::leaveEvent(QEvent *event)
{
    setHovering(false);
    QAbstractButton::leaveEvent(event);
}

void WorkspaceHeaderRow::resizeEvent(QResizeEvent *event)
{
    QAbstractButton::resizeEvent(event);
    m_menuButton->move(width() - 4 - m_menuButton->width(), (height() - m_menuButton->height()) / 2);
}

void WorkspaceHeaderRow::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = makeActionsMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void WorkspaceHeaderRow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tertiary = Theme::tertiaryText();
    const QRectF iconBox(6, (height() - 20) / 2.0, 16, 20);
    if (m_hovering) {
        // The chevron points right for a collapsed workspace and down for an open one.
        painter.save();
        painter.translate(iconBox.center());
        if (!m_collapsed)
            painter.rotate(90);
        Icons::paint(&painter, QRectF(-5, -5, 10, 10), u"chevron.right"_s, tertiary);
        painter.restore();
    } else {
        Icons::paint(&painter, QRectF(iconBox.center().x() - 7, iconBox.center().y() - 7, 14, 14), u"folder"_s,
                     tertiary);
    }
    const int textX = int(iconBox.right()) + 6;
    const int textRight = width() - 4 - (m_hovering ? 24 + 4 : 0);
    painter.setFont(Fonts::system(14, QFont::Medium));
    painter.setPen(Theme::primaryText());
    const QRect textRect(textX, 0, std::max(0, textRight - textX - 4), height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     text::bidiIsolated(painter.fontMetrics().elidedText(m_workspace.title, Qt::ElideRight, textRect.width())));
}

// ---- SessionRowView ----

SessionRowView::SessionRowView(SessionDirectory *directory, SessionSelection *selection, QWidget *parent)
    : QAbstractButton(parent)
    , m_directory(directory)
    , m_selection(selection)
{
    setFixedHeight(kHeight);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_selection)
            m_selection->selectSession(m_row.session.sessionId);
    });
}

bool SessionRowView::setRow(const SidebarSessionRowData &data)
{
    if (m_row == data && m_revision > 0)
        return false;
    m_row = data;
    ++m_revision;
    setObjectName(u"session-row-"_s + data.id());
    setAccessibleName(data.displayTitle);
    setAccessibleDescription(data.session.running ? u"运行中"_s : QString());
    Accessibility::describe(this, QAccessible::ListItem,
                            {.selectable = true, .selected = data.isSelected, .busy = data.session.running});
    update();
    return true;
}

QString SessionRowView::toolTipText() const
{
    const QDateTime updated = QDateTime::fromMSecsSinceEpoch(qint64(m_row.session.updatedAt), Qt::UTC);
    return text::bidiIsolated(m_row.displayTitle) + u" · "_s + relativeShort(updated.toLocalTime());
}

bool SessionRowView::event(QEvent *event)
{
    // The relative time is read when the tooltip opens, so it never goes stale.
    if (event->type() == QEvent::ToolTip)
        setToolTip(plainToolTip(toolTipText()));
    return QAbstractButton::event(event);
}

QMenu *SessionRowView::makeContextMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(u"session-actions"_s);
    const QString sessionId = m_row.session.sessionId;
    QPointer<SessionDirectory> directory = m_directory;
    QPointer<SessionRowView> self = this;
    connect(menu->addAction(u"重命名…"_s), &QAction::triggered, menu, [self] {
        if (self)
            self->presentRename();
    });
    connect(menu->addAction(u"Fork"_s), &QAction::triggered, menu, [directory, sessionId] {
        if (directory)
            startStoreTask(directory->forkSession(sessionId));
    });
    menu->addSeparator();
    connect(menu->addAction(u"归档"_s), &QAction::triggered, menu, [directory, sessionId] {
        if (directory)
            directory->archiveSession(sessionId);
    });
    return menu;
}

void SessionRowView::presentRename()
{
    const QString sessionId = m_row.session.sessionId;
    QPointer<SessionDirectory> directory = m_directory;
    // Parented to the window: the row may be rebuilt away while the dialog is open.
    openTextFieldDialog(window(), u"rename-session-dialog"_s, u"重命名会话"_s, u"输入新的会话标题"_s, m_row.displayTitle,
                        260, [directory, sessionId](const QString &title) {
                            if (directory)
                                directory->renameSession(sessionId, title);
                        });
}

void SessionRowView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = makeContextMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void SessionRowView::enterEvent(QEnterEvent *event)
{
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SessionRowView::leaveEvent(QEvent *event)
{
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void SessionRowView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_row.isSelected)
        paintRounded(painter, rect(), 7, Theme::selection());
    else if (m_hovering)
        paintRounded(painter, rect(), 7, Theme::hover());
    const int left = int(m_row.indent);
    int right = width() - 10;
    if (m_row.session.running) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::brand());
        painter.drawEllipse(QRectF(right - 7, (height() - 7) / 2.0, 7, 7));
        right -= 7 + 6;
    }
    painter.setFont(Fonts::system(14, m_row.isSelected ? QFont::Medium : QFont::Normal));
    painter.setPen(Theme::primaryText());
    const QRect textRect(left, 0, std::max(0, right - left), height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     text::bidiIsolated(painter.fontMetrics().elidedText(m_row.displayTitle, Qt::ElideRight, textRect.width())));
}

// ---- SectionLabelRow ----

SectionLabelRow::SectionLabelRow(QWidget *parent) : QWidget(parent)
{
    setFixedHeight(kHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

bool SectionLabelRow::setTitle(const QString &title)
{
    if (m_title == title && !objectName().isEmpty())
        return false;
    m_title = title;
    setObjectName(u"section-"_s + title);
    setAccessibleName(title);
    Accessibility::describe(this, QAccessible::StaticText);
    update();
    return true;
}

void SectionLabelRow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(Fonts::system(12, QFont::Medium));
    painter.setPen(Theme::tertiaryText());
    painter.drawText(QRect(10, 10 + 18, std::max(0, width() - 20), 16), Qt::AlignVCenter | Qt::AlignLeft, m_title);
}

// ---- SidebarListView ----

SidebarListView::SidebarListView(SessionDirectory *directory, SessionSelection *selection,
                                 const WorkspaceHeaderActions *actions, QWidget *parent)
    : QScrollArea(parent)
    , m_directory(directory)
    , m_selection(selection)
    , m_actions(actions)
    , m_canvas(new QWidget)
{
    setObjectName(u"sidebar-list"_s);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidgetResizable(false);
    m_canvas->setObjectName(u"sidebar-list-content"_s);
    setWidget(m_canvas);
    // The list shows the column's colour through it on every palette: setWidget() turns the
    // canvas's background filling on, so it is switched off after.
    viewport()->setAutoFillBackground(false);
    m_canvas->setAutoFillBackground(false);
    setAutoFillBackground(false);

    m_groupAnimation = new QVariantAnimation(this);
    m_groupAnimation->setStartValue(0.0);
    m_groupAnimation->setEndValue(1.0);
    m_groupAnimation->setDuration(kGroupToggleMs);
    // The standard ease-out: fast start, gentle landing.
    QEasingCurve easeOut(QEasingCurve::BezierSpline);
    easeOut.addCubicBezierSegment(QPointF(0.0, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    m_groupAnimation->setEasingCurve(easeOut);
    connect(m_groupAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        if (!m_groupHeader)
            return;
        const qreal t = value.toReal();
        m_groupShown = m_groupLeaving ? 1.0 - t : t;
        placeRows();
    });
    connect(m_groupAnimation, &QVariantAnimation::finished, this, &SidebarListView::finishGroupAnimation);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &SidebarListView::syncLiveRows);
}

void SidebarListView::setHeader(QWidget *header, int height)
{
    m_header = header;
    m_headerHeight = height;
    header->setParent(m_canvas);
    header->show();
    computeTops();
    placeRows();
    syncLiveRows();
}

QWidget *SidebarListView::rowWidget(size_t index) const { return index < m_widgets.size() ? m_widgets[index] : nullptr; }

int SidebarListView::rowHeight(const SidebarListRow &row)
{
    if (row.workspace())
        return WorkspaceHeaderRow::kHeight;
    if (row.session())
        return SessionRowView::kHeight;
    return SectionLabelRow::kHeight;
}

std::optional<size_t> SidebarListView::focusableRow(qsizetype from, bool forward) const
{
    for (qsizetype i = from; i >= 0 && i < qsizetype(m_rows.size()); i += forward ? 1 : -1) {
        if (!m_rows[size_t(i)].section())
            return size_t(i);
    }
    return std::nullopt;
}

bool SidebarListView::focusRow(size_t index, Qt::FocusReason reason)
{
    if (index >= m_rows.size() || m_rows[index].section())
        return false;
    const int top = m_tops[index];
    ensureVisible(0, top + rowHeight(m_rows[index]) / 2, 0, rowHeight(m_rows[index]) / 2 + kSpacing);
    syncLiveRows();
    if (!m_widgets[index]) {
        // Not near the viewport even now (a list not shown): the row gets its widget anyway.
        bool created = false;
        m_widgets[index] = materialize(index, nullptr, &created);
        m_byKey.insert(m_keys[index], m_widgets[index]);
        placeRows();
        Q_EMIT liveRowsChanged();
    }
    m_widgets[index]->setFocus(reason);
    return true;
}

bool SidebarListView::focusNextPrevChild(bool next)
{
    // Rows far from the viewport have no widget, so the focus chain alone would skip them.
    QWidget *focus = QApplication::focusWidget();
    const auto at = std::find(m_widgets.begin(), m_widgets.end(), focus);
    if (focus && at != m_widgets.end()) {
        const qsizetype index = at - m_widgets.begin();
        if (const auto target = focusableRow(index + (next ? 1 : -1), next))
            return focusRow(*target, next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    }
    return QScrollArea::focusNextPrevChild(next);
}

namespace {

// The row's widget when it already is one of the right kind, else a new one in its place.
template<typename View, typename Make>
View *reuseOrMake(QWidget *widget, bool *created, Make make)
{
    if (auto *view = qobject_cast<View *>(widget))
        return view;
    delete widget;
    View *view = make();
    view->show();
    *created = true;
    return view;
}

} // namespace

QWidget *SidebarListView::materialize(size_t index, QWidget *widget, bool *created)
{
    const SidebarListRow &row = m_rows[index];
    *created = false;
    if (const auto *w = row.workspace()) {
        auto *view = reuseOrMake<WorkspaceHeaderRow>(widget, created, [this] { return new WorkspaceHeaderRow(m_actions, m_canvas); });
        view->setRow(w->workspace, w->collapsed);
        return view;
    }
    if (const auto *s = row.session()) {
        auto *view = reuseOrMake<SessionRowView>(widget, created,
                                                 [this] { return new SessionRowView(m_directory, m_selection, m_canvas); });
        view->setRow(*s);
        return view;
    }
    auto *view = reuseOrMake<SectionLabelRow>(widget, created, [this] { return new SectionLabelRow(m_canvas); });
    view->setTitle(row.section()->title);
    return view;
}

void SidebarListView::computeTops()
{
    m_tops.resize(m_rows.size());
    int y = m_header ? m_headerHeight : 0;
    for (size_t i = 0; i < m_rows.size(); ++i) {
        m_tops[i] = y;
        y += rowHeight(m_rows[i]) + kSpacing;
    }
    if (!m_rows.empty())
        y -= kSpacing;
    // The scroll range follows the rows before their widgets are placed.
    m_canvas->resize(viewport()->width(), y + kBottomSpace);
}

void SidebarListView::setRows(std::vector<SidebarListRow> rows, const QString &toggledWorkspaceId)
{
    // A rebuild during a fold lands the fold first; the new rows then apply at once.
    finishGroupAnimation();
    const bool animate = !toggledWorkspaceId.isEmpty() && !Motion::reduceMotion() && isVisible();
    auto inToggledGroup = [&](QWidget *widget) {
        const auto *view = qobject_cast<SessionRowView *>(widget);
        return view && view->row().scope == toggledWorkspaceId;
    };

    // Resizing the content may move the scroll position: the live rows are synced here,
    // not from that signal, while the rows and their widgets do not match yet.
    const bool wasSyncing = std::exchange(m_syncing, true);
    m_rows = std::move(rows);
    computeTops();
    const int viewTop = verticalScrollBar()->value();
    const int span = std::max(viewport()->height(), 1);
    const int nearTop = viewTop - span;
    const int nearBottom = viewTop + 2 * span;

    QHash<Key, QWidget *> old = std::exchange(m_byKey, {});
    m_byKey.reserve(std::min<qsizetype>(qsizetype(m_rows.size()), old.size() + 64));
    m_keys.clear();
    m_keys.reserve(m_rows.size());
    m_widgets.assign(m_rows.size(), nullptr);
    QHash<QString, int> occurrences;
    occurrences.reserve(qsizetype(m_rows.size()));
    std::optional<size_t> toggledHeader;
    size_t groupFirst = 0;
    size_t groupEnd = 0;
    bool arriving = false;
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const SidebarListRow &row = m_rows[i];
        const QString id = row.id();
        m_keys.emplace_back(id, occurrences[id]++);
        const Key &key = m_keys.back();
        const bool near = m_tops[i] + rowHeight(row) >= nearTop && m_tops[i] <= nearBottom;
        QWidget *reuse = old.value(key);
        if (!near && !(reuse && reuse->hasFocus()))
            continue;
        old.remove(key);
        bool created = false;
        QWidget *widget = materialize(i, reuse, &created);
        if (animate && row.workspace() && row.workspace()->workspace.workspaceId == toggledWorkspaceId && !toggledHeader) {
            toggledHeader = i;
            groupFirst = groupEnd = i + 1;
        }
        if (animate && created && inToggledGroup(widget))
            arriving = true;
        m_byKey.insert(key, widget);
        m_widgets[i] = widget;
    }
    if (toggledHeader) {
        while (groupEnd < m_rows.size() && m_rows[groupEnd].session()
               && m_rows[groupEnd].session()->scope == toggledWorkspaceId)
            ++groupEnd;
    }
    // Rows that left the list or the viewport's surroundings; those of a collapsing workspace
    // fold away under its header first.
    std::vector<QWidget *> leaving;
    for (QWidget *gone : std::as_const(old)) {
        const auto *view = qobject_cast<SessionRowView *>(gone);
        const bool unlisted = view && !(groupFirst < groupEnd);
        if (animate && toggledHeader && !arriving && unlisted && inToggledGroup(gone)) {
            leaving.push_back(gone);
            continue;
        }
        gone->hide();
        gone->deleteLater();
    }
    std::sort(leaving.begin(), leaving.end(), [](QWidget *a, QWidget *b) { return a->y() < b->y(); });

    if (toggledHeader && (arriving || !leaving.empty())) {
        m_groupLeaving = !arriving;
        m_group = std::move(leaving);
        m_groupHeader = m_widgets[*toggledHeader];
        m_groupFirst = arriving ? groupFirst : 0;
        m_groupEnd = arriving ? groupEnd : 0;
        m_groupShown = m_groupLeaving ? 1.0 : 0.0;
        placeRows();
        m_syncing = wasSyncing;
        m_groupAnimation->start();
        Q_EMIT liveRowsChanged();
        return;
    }
    for (QWidget *gone : leaving) {
        gone->hide();
        gone->deleteLater();
    }
    placeRows();
    m_syncing = wasSyncing;
    Q_EMIT liveRowsChanged();
    syncLiveRows();
}

bool SidebarListView::inArrivingGroup(size_t index) const
{
    return m_groupHeader && !m_groupLeaving && index >= m_groupFirst && index < m_groupEnd;
}

void SidebarListView::syncLiveRows()
{
    if (m_syncing || m_rows.empty())
        return;
    m_syncing = true;
    const int viewTop = verticalScrollBar()->value();
    const int span = std::max(viewport()->height(), 1);
    const int nearTop = viewTop - span;
    const int nearBottom = viewTop + 2 * span;
    const auto first = size_t(std::upper_bound(m_tops.begin(), m_tops.end(), nearTop) - m_tops.begin());
    const size_t from = first > 0 ? first - 1 : 0;
    const auto end = size_t(std::upper_bound(m_tops.begin(), m_tops.end(), nearBottom) - m_tops.begin());
    bool changed = false;
    for (size_t i = 0; i < m_widgets.size(); ++i) {
        QWidget *widget = m_widgets[i];
        const bool near = i >= from && i < end;
        if (widget && !near && !widget->hasFocus() && !inArrivingGroup(i) && widget != m_groupHeader) {
            m_byKey.remove(m_keys[i]);
            m_widgets[i] = nullptr;
            widget->hide();
            widget->deleteLater();
            changed = true;
        } else if (!widget && near) {
            bool created = false;
            m_widgets[i] = materialize(i, nullptr, &created);
            m_byKey.insert(m_keys[i], m_widgets[i]);
            changed = true;
        }
    }
    if (changed) {
        placeRows();
        Q_EMIT liveRowsChanged();
    }
    m_syncing = false;
}

void SidebarListView::finishGroupAnimation()
{
    if (!m_groupHeader)
        return;
    m_groupAnimation->stop();
    const std::vector<QWidget *> group = std::exchange(m_group, {});
    m_groupHeader = nullptr;
    for (QWidget *widget : group) {
        widget->hide();
        widget->deleteLater();
    }
    for (size_t i = m_groupFirst; i < m_groupEnd && i < m_widgets.size(); ++i) {
        if (QWidget *widget = m_widgets[i]) {
            widget->clearMask();
            widget->show();
        }
    }
    m_groupFirst = m_groupEnd = 0;
    placeRows();
    syncLiveRows();
}

void SidebarListView::placeRows()
{
    const int width = viewport()->width();
    int y = 0;
    if (m_header) {
        m_header->setGeometry(0, 0, width, m_headerHeight);
        y = m_headerHeight;
    }
    for (size_t i = 0; i < m_rows.size(); ++i) {
        // Arriving rows of a fold are placed with their header, below.
        if (inArrivingGroup(i))
            continue;
        const int h = rowHeight(m_rows[i]);
        if (QWidget *widget = m_widgets[i])
            widget->setGeometry(0, y, width, h);
        y += h + kSpacing;
        if (m_groupHeader && m_widgets[i] == m_groupHeader)
            y = placeGroup(y, width);
    }
    if (!m_rows.empty())
        y -= kSpacing;
    m_canvas->resize(width, y + kBottomSpace);
}

int SidebarListView::placeGroup(int y, int width)
{
    // The group takes the shown share of its full height; rows past that edge are cut off
    // there, so the rows below slide over nothing.
    std::vector<std::pair<QWidget *, int>> group; // widget (or null) and height, in order
    if (m_groupLeaving) {
        for (QWidget *widget : m_group)
            group.emplace_back(widget, widget->maximumHeight());
    } else {
        for (size_t i = m_groupFirst; i < m_groupEnd; ++i)
            group.emplace_back(m_widgets[i], rowHeight(m_rows[i]));
    }
    int full = 0;
    for (const auto &[widget, h] : group)
        full += h + kSpacing;
    const int bottom = y + qRound(full * m_groupShown);
    int gy = y;
    for (const auto &[widget, h] : group) {
        if (widget) {
            widget->setGeometry(0, gy, width, h);
            if (gy >= bottom) {
                widget->hide();
            } else {
                if (gy + h > bottom)
                    widget->setMask(QRegion(0, 0, width, bottom - gy));
                else
                    widget->clearMask();
                widget->show();
            }
        }
        gy += h + kSpacing;
    }
    return bottom;
}

void SidebarListView::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    placeRows();
    syncLiveRows();
}

} // namespace nbd
