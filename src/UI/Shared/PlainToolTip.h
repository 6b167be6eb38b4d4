#pragma once

#include <QString>

namespace nbd {

// A tooltip that shows `text` as plain text, exactly as given: lines longer than the tooltip's
// width are wrapped between words (never inside one), and text that Qt would take for markup
// stays plain. Host text goes through here.
QString plainToolTip(const QString &text);

} // namespace nbd
