#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <optional>

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

struct ToolPresentationInput
{
    JSONValue presentation; // the result's presentation when present, else the call's
    QString fallbackArguments;
    std::optional<QString> fallbackResult;
    bool isError = false;

    bool operator==(const ToolPresentationInput &) const = default;
};

// The card of a tool call that carries a presentation (the chip's expanded area): a
// ToolPresentationView named "tool-presentation".
QWidget *createToolPresentation(const ToolPresentationInput &input, QWidget *parent);
// Shows `input` in a card made by createToolPresentation (the card redraws only when the input
// changed); false when it has to be made afresh.
bool updateToolPresentation(QWidget *content, const ToolPresentationInput &input);

} // namespace BlockContent

} // namespace nbd
