#pragma once

#include "Store/QuickAskHUDModel.h"

#include <QByteArray>

#include <chrono>

namespace nbd {

// Reads an X11 selection as text over a connection of its own, so it may run on any thread:
// PRIMARY (the text selected in whichever application owns it) or CLIPBOARD (the text last
// copied). Blocks until the owner answers or the limit passes.
namespace SelectionCapture {

enum class Selection { primary, clipboard };

// The limit only keeps a worker from hanging on an owner that never answers; the panel
// stops waiting much earlier.
inline constexpr std::chrono::milliseconds defaultReadLimit{3000};
// Larger selections are cut here; the context keeps far less anyway.
inline constexpr qsizetype maximumBytes = 4 * 1024 * 1024;

// value(text) from the owner; value(nothing) when there is no X display or nobody owns the
// selection; failed when the owner refuses, answers garbage or does not answer in time.
// `display` empty: $DISPLAY.
QuickAskSelectionReadResult selectionText(Selection selection, std::chrono::milliseconds limit = defaultReadLimit,
                                          const QByteArray &display = {});

// The PRIMARY selection.
QuickAskSelectionReadResult selectedText(std::chrono::milliseconds limit = defaultReadLimit,
                                         const QByteArray &display = {});

} // namespace SelectionCapture

} // namespace nbd
