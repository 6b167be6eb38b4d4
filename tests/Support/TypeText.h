#pragma once

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QTest>
#include <QWidget>

namespace nbd::test {

// Types text into a widget as a person would: Latin-1 characters as key presses, everything
// else (Chinese and other scripts) committed by the input method, one run at a time.
inline void typeText(QWidget *widget, const QString &text)
{
    QString latin;
    QString composed;
    auto flush = [&] {
        if (!latin.isEmpty())
            QTest::keyClicks(widget, latin);
        if (!composed.isEmpty()) {
            QInputMethodEvent commit;
            commit.setCommitString(composed);
            QCoreApplication::sendEvent(widget, &commit);
        }
        latin.clear();
        composed.clear();
    };
    for (const QChar c : text) {
        const bool isLatin = c.unicode() < 0x100;
        if (isLatin && !composed.isEmpty())
            flush();
        if (!isLatin && !latin.isEmpty())
            flush();
        (isLatin ? latin : composed) += c;
    }
    flush();
}

} // namespace nbd::test
