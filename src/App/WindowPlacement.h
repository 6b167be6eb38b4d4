#pragma once

#include <QSize>

class QScreen;
class QWidget;

namespace nbd {

// Where the application's windows open: on the screen under the pointer (else the primary one),
// inside what that screen leaves free of panels, frame included.
namespace windowplacement {

// The screen a new window opens on; null without any.
QScreen *screenForNewWindow();
// The room a screen leaves the window's contents once its frame is counted.
QSize roomOn(const QWidget *window, const QScreen *screen);
// Before the first show: puts `window` on `screen` at `preferred`, shrunk to the room where it
// does not fit, and centres it there.
void openCentred(QWidget *window, QScreen *screen, QSize preferred);

} // namespace windowplacement

} // namespace nbd
