#pragma once

#include <QCoroTask>
#include <QPointer>
#include <QString>

#include <functional>

class QPlainTextEdit;

namespace nbd {

// Waits for a send the field started after it was cleared; when the host did not take the
// prompt, puts the text back into the field so that nothing typed is lost. Only over an empty
// field (what the user typed since stays as it is) and only while `stillAddressed` says the
// field still writes to where the prompt was meant to go.
QCoro::Task<void> giveBackUnsentPrompt(QCoro::Task<bool> send, QPointer<QPlainTextEdit> field, QString text,
                                       std::function<bool()> stillAddressed);

} // namespace nbd
