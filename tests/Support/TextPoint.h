#pragma once

#include <QPoint>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace nbd::test {

// The point of a piece of text inside a text view, in its viewport's coordinates; a null
// point when the text is not there.
inline QPoint pointOfText(QTextEdit *view, const QString &text)
{
    const QTextCursor found = view->document()->find(text);
    if (found.isNull())
        return {};
    QTextCursor at(view->document());
    at.setPosition(found.selectionStart() + 1);
    return view->cursorRect(at).center();
}

} // namespace nbd::test
