#pragma once

#include "UI/Shared/MarkdownText.h"

#include <QScrollArea>

namespace nbd::test {

// A finished Markdown text in a scroll area as the transcript holds it, 600 × 500, shown.
struct ScrolledMarkdown
{
    QScrollArea area;
    MarkdownText *text = nullptr;

    explicit ScrolledMarkdown(const QString &markdown)
    {
        text = new MarkdownText(markdown, false);
        area.setAccessibleName(QStringLiteral("回复"));
        area.setWidget(text);
        area.setWidgetResizable(true);
        area.resize(600, 500);
        area.show();
    }
};

} // namespace nbd::test
