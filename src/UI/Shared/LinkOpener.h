#pragma once

#include <QUrl>

#include <functional>

class QWidget;

// The open-address action of a window: views open links through it, the window that
// installed a handler decides where a link goes (its own tools), and whatever the handler
// leaves alone goes to the desktop, checked first: links arrive from host and page text that
// the user did not write, and the desktop hands a scheme to whichever program registered it.
namespace nbd::LinkOpener {

// Returns true when the link was handled, false to leave it to the desktop.
using Handler = std::function<bool(const QUrl &)>;

// Installs `handler` for links opened by `owner` and every widget inside it. It is removed
// when `owner` is destroyed.
void install(QWidget *owner, Handler handler);

// Opens a link on behalf of `source`: the nearest enclosing handler first, else the desktop.
void open(QWidget *source, const QUrl &url);

// What the desktop step does with a link nobody handled.
enum class DesktopDecision {
    Refuse, // never opened: script and inline-content schemes, no scheme, unusable addresses
    Open,   // opened at once: web pages and mail
    Ask,    // opened only after the user confirms the whole address
};
DesktopDecision desktopDecision(const QUrl &url);

// Addresses longer than this are refused: the confirmation must be able to show all of it.
inline constexpr qsizetype kMaxDesktopURLLength = 32768;

// Object names of the confirmation and its parts.
inline constexpr auto kConfirmationName = "link-confirmation";
inline constexpr auto kConfirmationURLName = "link-confirmation-url";
inline constexpr auto kConfirmationCancelName = "link-confirmation-cancel";
inline constexpr auto kConfirmationOpenName = "link-confirmation-open";

} // namespace nbd::LinkOpener
