#pragma once

#include <QString>

#include <memory>

namespace nbd::sim {

class SimHost;
class SimWorld;

// A small world for demos and screenshots: three workspaces and a handful of sessions, some
// of them in no workspace, one running.
std::unique_ptr<SimWorld> makeDemoWorld(SimHost *host);
// A session "s-large" holding data of the sizes agents produce: three tool calls with a result
// of 5 MB each (no presentation, the generic card, the terminal card) and 10,000 todos; and a
// session "s-large-markdown" whose answer is 5 MB of Markdown.
void addLargeDataSession(SimWorld &world);
// An answer of at least `length` characters of Markdown in numbered sections, each a heading,
// prose with inline marks and a link, a list, a code block, a table and a quote.
QString largeMarkdownAnswer(qsizetype length);

} // namespace nbd::sim
