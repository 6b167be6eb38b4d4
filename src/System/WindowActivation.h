#pragma once

#include "System/SingleInstance.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QWindow;

namespace nbd {

// Brings an already running window forward for a launch that was handed over, with the token
// the desktop gave that launch, so the window manager lets it take the focus and the
// launcher's busy feedback ends.
namespace windowactivation {

// Before the window is shown and activated: under Wayland the platform reads the token from
// XDG_ACTIVATION_TOKEN when it asks the compositor for the focus.
void prepare(const ActivationToken &token);
// After the window is shown, raised and asked to activate: under X11 the window carries the
// startup id, activation is asked for again with the launch's own time, and the launch's
// startup sequence is ended.
void complete(QWindow *window, const ActivationToken &token);

// The X server time a startup id carries ("…_TIME<decimal>"), if any.
std::optional<quint32> startupIdTimestamp(const QString &startupId);
// The startup-notification message that ends a launch's startup sequence.
QByteArray startupRemoveMessage(const QString &startupId);

} // namespace windowactivation

} // namespace nbd
