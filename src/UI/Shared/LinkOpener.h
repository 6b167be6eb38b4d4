#pragma once

#include <QUrl>

#include <functional>

class QWidget;

// The open-address action of a window: views open links through it, the window that
// installed a handler decides where a link goes (its own tools), and whatever the handler
// leaves alone goes to the desktop.
namespace nbd::LinkOpener {

// Returns true when the link was handled, false to leave it to the desktop.
using Handler = std::function<bool(const QUrl &)>;

// Installs `handler` for links opened by `owner` and every widget inside it. It is removed
// when `owner` is destroyed.
void install(QWidget *owner, Handler handler);

// Opens a link on behalf of `source`: the nearest enclosing handler first, else the desktop.
void open(QWidget *source, const QUrl &url);

} // namespace nbd::LinkOpener
