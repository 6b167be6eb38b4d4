#pragma once

#include "Domain/ToolPresentationModel.h"

#include <QString>

class QWidget;

namespace nbd {

// The one place where the transcript makes the content widget of a finished assistant text
// block and of a tool call's presentation card. The transcript and the tool-call chip call
// only these functions, so a richer renderer replaces the body of one function here.
//
// Every content widget must report its height for a width (hasHeightForWidth and
// heightForWidth, or a layout that does): the transcript places rows by measured heights.
namespace BlockContent {

// A text block whose output is complete: its Markdown, drawn by MarkdownText.
QWidget *createFinalText(const QString &text, QWidget *parent);
// Shows `text` in a widget made by createFinalText; false when it has to be made afresh.
bool updateFinalText(QWidget *content, const QString &text);

// The card of a tool call that carries a presentation (the chip's expanded area): a
// ToolPresentationView named "tool-presentation", drawn from the card input Domain built.
QWidget *createToolPresentation(const ToolCardInput &input, QWidget *parent);
// Shows `input` in a card made by createToolPresentation (the card redraws only when the input
// changed); false when it has to be made afresh.
bool updateToolPresentation(QWidget *content, const ToolCardInput &input);

} // namespace BlockContent

} // namespace nbd
