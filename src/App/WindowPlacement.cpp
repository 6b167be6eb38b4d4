#include "App/WindowPlacement.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace nbd::windowplacement {

QSize roomOn(const QWidget *window, const QScreen *screen)
{
    // Known once the platform window exists (offscreen, or a desktop that said before mapping);
    // otherwise no frame is counted.
    const QMargins frame = window->windowHandle() ? window->windowHandle()->frameMargins() : QMargins();
    return screen->availableGeometry().size().shrunkBy(frame).expandedTo(QSize(1, 1));
}

QScreen *screenForNewWindow()
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    return screen ? screen : QGuiApplication::primaryScreen();
}

void openCentred(QWidget *window, QScreen *screen, QSize preferred)
{
    window->setScreen(screen);
    // The platform window, so that its frame is known where the platform knows it this early.
    window->winId();
    window->resize(preferred.boundedTo(roomOn(window, screen)));
    const QRect available = screen->availableGeometry();
    const QSize outer = window->size().grownBy(window->windowHandle()->frameMargins());
    // A top-level widget's position is its frame's.
    window->move(available.x() + std::max(0, (available.width() - outer.width()) / 2),
                 available.y() + std::max(0, (available.height() - outer.height()) / 2));
}

} // namespace nbd::windowplacement
