#include "UI/Shared/UnsentPrompt.h"

#include <QPlainTextEdit>
#include <QTextCursor>

namespace nbd {

QCoro::Task<void> giveBackUnsentPrompt(QCoro::Task<bool> send, QPointer<QPlainTextEdit> field, QString text,
                                       std::function<bool()> stillAddressed)
{
    const bool sent = co_await std::move(send);
    if (sent || !field || !field->toPlainText().isEmpty() || (stillAddressed && !stillAddressed()))
        co_return;
    field->setPlainText(text);
    field->moveCursor(QTextCursor::End);
}

} // namespace nbd
