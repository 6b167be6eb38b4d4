#pragma once

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>
#include <QVariant>
#include <QWidget>

#include <algorithm>

namespace nbd::test {

// What a view holds right now: how many widgets (the root and everything under it) and the
// longest text any of them lays out at once. Host data of any size must leave both bounded.
struct WidgetCensus
{
    int widgets = 0;
    qsizetype longestText = 0;
};

namespace detail {

// The longest block a text document lays out. A plain text edit lays out only the blocks it
// shows (each block has lines once laid out); a rich text edit lays out all of its document.
inline qsizetype longestLaidOutBlock(const QTextDocument *document, bool onlyLaidOut)
{
    qsizetype longest = 0;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (onlyLaidOut && (!block.layout() || block.layout()->lineCount() == 0))
            continue;
        longest = std::max<qsizetype>(longest, block.length() - 1);
    }
    return longest;
}

inline qsizetype laidOutText(const QWidget *widget)
{
    if (const auto *plain = qobject_cast<const QPlainTextEdit *>(widget))
        return longestLaidOutBlock(plain->document(), true);
    if (const auto *rich = qobject_cast<const QTextEdit *>(widget))
        return longestLaidOutBlock(rich->document(), false);
    // Labels, buttons, line edits and our own one-line labels lay out the text they hold.
    const QVariant text = widget->property("text");
    return text.typeId() == QMetaType::QString ? text.toString().size() : 0;
}

} // namespace detail

inline WidgetCensus widgetCensus(QWidget *root)
{
    WidgetCensus census;
    if (!root)
        return census;
    census.widgets = 1;
    census.longestText = detail::laidOutText(root);
    const QList<QWidget *> all = root->findChildren<QWidget *>();
    census.widgets += int(all.size());
    for (const QWidget *widget : all)
        census.longestText = std::max(census.longestText, detail::laidOutText(widget));
    return census;
}

} // namespace nbd::test
