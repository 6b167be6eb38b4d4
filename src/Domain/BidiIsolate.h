#pragma once

#include <QString>
#include <QStringView>

namespace nbd::text {

// Text from the host (a session or workspace title, a tool, plugin, skill or model name) as a
// piece of its own inside whatever is shown around it: wrapped in FIRST STRONG ISOLATE … POP
// DIRECTIONAL ISOLATE, so that its direction comes from its own first strong character and a
// right-to-left override inside it reorders nothing outside. Embeddings, overrides and isolates
// the text opens without closing are closed before the final isolate pop, and a pop with nothing
// of the text's own to close is dropped, so the text can never end the wrapping early or leave
// it open.
QString bidiIsolated(QStringView hostText);

} // namespace nbd::text
