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

// `text` with the embeddings and isolates that are open at `cut` closed there: for a text cut
// short (elided), whose closing marks may have been cut away with the rest, so that nothing
// after the cut is reordered by an override begun before it.
QString closedAtCut(QStringView text, qsizetype cut);

} // namespace nbd::text
