#include "UI/Inspection/SubagentCatalogView.h"

#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "UI/Inspection/InspectorMetrics.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/MenuText.h"
#include "UI/Shared/PagedColumn.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/Theme.h"

#include <QFontDatabase>
#include <QMenu>
#include <QPainter>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

SubagentCatalogView::SubagentCatalogView(SessionDirectory *directory, SessionSelection *selection,
                                         QString rootSessionId, QWidget *parent)
    : QToolButton(parent)
    , m_directory(directory)
    , m_selection(selection)
    , m_rootSessionId(std::move(rootSessionId))
    , m_menu(new QMenu(this))
{
    setObjectName(u"subagent-catalog"_s);
    m_menu->setObjectName(u"subagent-catalog-menu"_s);
    setMenu(m_menu);
    setPopupMode(QToolButton::InstantPopup);
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setFont(Fonts::system(12));
    setProperty("symbolName", u"arrow.triangle.branch"_s);
    connect(m_menu, &QMenu::aboutToShow, this, &SubagentCatalogView::rebuildMenu);
    if (m_directory) {
        connect(m_directory, &SessionDirectory::subagentsByParentChanged, this,
                &SubagentCatalogView::refresh);
        connect(m_directory, &SessionDirectory::subagentCatalogLoadingChanged, this,
                &SubagentCatalogView::refresh);
        connect(m_directory, &SessionDirectory::sessionsChanged, this, &SubagentCatalogView::refresh);
    }
    refresh();
}

void SubagentCatalogView::setRootSessionId(QString rootSessionId)
{
    if (rootSessionId == m_rootSessionId)
        return;
    m_rootSessionId = std::move(rootSessionId);
    m_menuRows = kMenuRowsPerPage;
    refresh();
}

std::vector<SubagentCatalogRow> SubagentCatalogView::rows() const
{
    if (!m_directory)
        return {};
    return SubagentCatalog::flatten(m_directory->subagentsByParent(), m_rootSessionId);
}

void SubagentCatalogView::refresh()
{
    const auto current = rows();
    m_healthy = SubagentCatalog::healthyCount(current);
    m_running = SubagentCatalog::runningCount(current);
    const bool loading = m_directory && m_directory->subagentCatalogLoading().contains(m_rootSessionId);
    setText(QString::number(m_healthy));
    setAccessibleName(SubagentCatalog::accessibleName(m_healthy));
    setToolTip(shownAsPlainText(SubagentCatalog::toolTip(m_healthy, m_running)));
    setVisible(m_healthy > 0 || loading);
    rebuildMenu();
    updateGeometry();
    update();
}

void SubagentCatalogView::rebuildMenu()
{
    m_menu->clear();
    const auto current = rows();
    if (current.empty()) {
        QAction *loading = m_menu->addAction(u"正在读取子代理…"_s);
        loading->setObjectName(u"subagent-catalog-loading"_s);
        loading->setEnabled(false);
    }
    const size_t listed = std::min(current.size(), size_t(m_menuRows));
    for (size_t i = 0; i < listed; ++i) {
        const SubagentCatalogRow &row = current[i];
        QAction *action = nullptr;
        if (row.entry.isChild()) {
            const auto title = m_selection ? m_selection->displayTitle(row.entry.id) : std::nullopt;
            const QString icon = row.entry.isRunning() ? u"circle.fill"_s : SubagentCatalog::modeIcon(row.entry.mode);
            action = m_menu->addAction(Icons::pixmap(icon, 14, palette().color(QPalette::WindowText), devicePixelRatioF()),
                                       menuText(SubagentCatalog::rowTitle(row, title)));
            action->setProperty("symbolName", icon);
            connect(action, &QAction::triggered, this, [this, row] { selectRow(row); });
        } else {
            action = m_menu->addAction(Icons::pixmap(u"exclamationmark.triangle"_s, 14, Theme::secondaryText(),
                                                     devicePixelRatioF()),
                                       menuText(SubagentCatalog::diagnosticTitle(row)));
            action->setProperty("symbolName", u"exclamationmark.triangle"_s);
            action->setEnabled(false);
        }
        action->setObjectName(u"subagent-row"_s);
        action->setData(row.id());
    }
    if (listed < current.size()) {
        QAction *more = m_menu->addAction(PagedColumn::moreText(qsizetype(current.size() - listed)));
        more->setObjectName(u"subagent-catalog-more"_s);
        // Choosing it closes the menu, as any item does: it opens again where it was, longer.
        connect(more, &QAction::triggered, this, [this] {
            m_menuRows += kMenuRowsPerPage;
            const QPoint at = m_menu->pos();
            QMetaObject::invokeMethod(this, [this, at] { m_menu->popup(at); }, Qt::QueuedConnection);
        });
    }
    m_menu->addSeparator();
    QAction *reload = m_menu->addAction(Icons::pixmap(u"arrow.clockwise"_s, 14, palette().color(QPalette::WindowText),
                                                      devicePixelRatioF()),
                                        u"刷新子代理"_s);
    reload->setObjectName(u"subagent-refresh"_s);
    reload->setProperty("symbolName", u"arrow.clockwise"_s);
    connect(reload, &QAction::triggered, this, [this] {
        if (m_directory)
            startStoreTask(m_directory->refreshSubagentTree(m_rootSessionId, 0));
    });
}

void SubagentCatalogView::selectRow(const SubagentCatalogRow &row)
{
    if (!m_directory || !m_selection)
        return;
    const auto &lists = m_directory->subagentsByParent();
    const auto list = lists.constFind(row.parentSessionId);
    if (list == lists.constEnd())
        return; // the list went away since the menu was built
    m_selection->selectSubagent(row.parentSessionId, row.entry, list->parentAvailable);
}

QSize SubagentCatalogView::sizeHint() const
{
    QFont digits = font();
    const int textWidth = QFontMetrics(digits).horizontalAdvance(text());
    return {8 + 14 + 5 + textWidth + 8, 28};
}

void SubagentCatalogView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (underMouse() || isDown()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::hover());
        painter.drawRoundedRect(QRectF(rect()), 6, 6);
    }
    const QColor fg = Theme::secondaryText();
    Icons::paint(&painter, QRectF(8, (height() - 14) / 2.0, 14, 14), u"arrow.triangle.branch"_s, fg);
    painter.setPen(fg);
    painter.setFont(font());
    painter.drawText(rect().adjusted(8 + 14 + 5, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text());
    if (hasFocus()) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Theme::brand(), 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
}

} // namespace nbd
