#pragma once

#include <QString>
#include <QTextDocument>

namespace nbd::test {

// What a tooltip shows a person: Qt reads the text as rich text when it looks like markup.
inline QString shownToolTip(const QString &tip)
{
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
}

} // namespace nbd::test
