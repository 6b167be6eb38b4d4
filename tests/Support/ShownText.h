#pragma once

#include <QString>
#include <QTextDocument>

namespace nbd::test {

// What a tooltip shows a person: Qt reads the text as rich text when it looks like markup;
// plain text shows as it is, but for invisible word joiners.
inline QString shownToolTip(const QString &tip)
{
    if (!Qt::mightBeRichText(tip))
        return QString(tip).remove(QChar(0x2060));
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
}

} // namespace nbd::test
