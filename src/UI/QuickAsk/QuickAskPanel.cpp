#include "UI/QuickAsk/QuickAskPanel.h"

#include "UI/QuickAsk/QuickAskHUDView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

std::optional<QPoint> quickAskPanelOrigin(QPoint pointer, const std::vector<QuickAskScreenFrame> &screens,
                                          std::optional<QuickAskScreenFrame> primary, QSize panelSize)
{
    std::optional<QuickAskScreenFrame> chosen;
    for (const QuickAskScreenFrame &screen : screens) {
        if (screen.frame.contains(pointer)) {
            chosen = screen;
            break;
        }
    }
    if (!chosen)
        chosen = primary;
    if (!chosen)
        return std::nullopt;
    const QRect area = chosen->availableFrame;
    return QPoint(area.x() + (area.width() - panelSize.width()) / 2, area.y() + 96);
}

QuickAskPanel::QuickAskPanel(QuickAskHUDModel *model, Actions actions, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    , m_onDismiss(actions.onDismiss)
{
    setObjectName(u"quick-ask-panel"_s);
    setWindowTitle(u"快速提问"_s);
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_view = new QuickAskHUDView(model, std::move(actions), this);
    layout->addWidget(m_view);
    setFixedSize(680, 280);
    // Rounded corners by a mask rather than a translucent window: without a compositing manager
    // translucent pixels come out black.
    QPainterPath outline;
    outline.addRoundedRect(QRectF(rect()), 8, 8);
    setMask(QRegion(outline.toFillPolygon().toPolygon()));
}

void QuickAskPanel::present()
{
    std::vector<QuickAskScreenFrame> frames;
    for (QScreen *screen : QGuiApplication::screens())
        frames.push_back({screen->geometry(), screen->availableGeometry()});
    std::optional<QuickAskScreenFrame> primary;
    if (QScreen *screen = QGuiApplication::primaryScreen())
        primary = QuickAskScreenFrame{screen->geometry(), screen->availableGeometry()};
    if (const std::optional<QPoint> origin = quickAskPanelOrigin(QCursor::pos(), frames, primary, size()))
        move(*origin);
    show();
    raise();
    activateWindow();
    // Hiding the active panel drops it as the application's active window at once, but on X11
    // the platform keeps its window as the focus window for a while (400 ms in the xcb plugin)
    // in case a FocusIn follows. Shown again within that time (Escape and the hot key in quick
    // succession), the server's FocusIn for the panel is then no change to Qt, nothing makes
    // the panel active again, and the typed keys reach no widget. The platform already counts
    // the panel as focused, so the application is told the same.
    if (QWindow *window = windowHandle(); window && QGuiApplication::focusWindow() == window
                                          && QApplication::activeWindow() != this)
        QApplication::setActiveWindow(this);
}

void QuickAskPanel::dismiss() { hide(); }

void QuickAskPanel::closeEvent(QCloseEvent *event)
{
    // A close (the window manager's, or the application quitting) is a dismissal. It must be
    // accepted: quitting asks every window to close and stops if one refuses. The panel is only
    // hidden, never deleted, and is there for the next time.
    QWidget::closeEvent(event);
    if (m_onDismiss)
        m_onDismiss();
}

} // namespace nbd
