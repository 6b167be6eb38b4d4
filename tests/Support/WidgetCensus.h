#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>
#include <QWidget>

#include <algorithm>

namespace nbd::test {

// What a view made of its data: the widgets under it (itself included) and the longest text
// laid out at once: a label's or button's text, a text view's longest laid-out block.
struct WidgetCensus
{
    int widgets = 0;
    qsizetype longestText = 0;
};

inline qsizetype longestLaidOutBlock(const QTextDocument *document)
{
    qsizetype longest = 0;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        const QTextLayout *layout = block.layout();
        if (layout && layout->lineCount() > 0)
            longest = std::max<qsizetype>(longest, block.length() - 1);
    }
    return longest;
}

inline WidgetCensus widgetCensus(QWidget *root)
{
    WidgetCensus census;
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    census.widgets = int(widgets.size());
    for (QWidget *widget : std::as_const(widgets)) {
        qsizetype length = 0;
        if (auto *label = qobject_cast<QLabel *>(widget))
            length = label->text().size();
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            length = button->text().size();
        else if (auto *line = qobject_cast<QLineEdit *>(widget))
            length = line->text().size();
        else if (auto *plain = qobject_cast<QPlainTextEdit *>(widget))
            length = longestLaidOutBlock(plain->document());
        else if (auto *rich = qobject_cast<QTextEdit *>(widget))
            length = longestLaidOutBlock(rich->document());
        census.longestText = std::max(census.longestText, length);
    }
    return census;
}

} // namespace nbd::test
