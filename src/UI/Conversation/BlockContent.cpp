#include "UI/Conversation/BlockContent.h"

#include "UI/Conversation/TextLabels.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Shared/Theme.h"

#include <QLabel>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd::BlockContent {

namespace {

constexpr const char *kFinalTextRole = "nbdFinalText";
constexpr const char *kPresentationRole = "nbdToolPresentation";

} // namespace

QWidget *createFinalText(const QString &text, QWidget *parent)
{
    QLabel *label = TextLabels::make(text, Fonts::system(15), Theme::primaryText(),
                                     TextLabels::Wrap | TextLabels::Selectable, parent);
    label->setObjectName(u"assistant-text"_s);
    label->setProperty(kFinalTextRole, true);
    return label;
}

bool updateFinalText(QWidget *content, const QString &text)
{
    auto *label = qobject_cast<QLabel *>(content);
    if (!label || !label->property(kFinalTextRole).toBool())
        return false;
    if (label->text() != text)
        label->setText(text);
    return true;
}

// Until the cards are drawn, a presentation shows what the plain detail shows: the arguments
// and the result text.
QWidget *createToolPresentation(const ToolPresentationInput &input, QWidget *parent)
{
    auto *box = new QWidget(parent);
    box->setObjectName(u"tool-presentation"_s);
    box->setProperty(kPresentationRole, true);
    auto *column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    ToolCallChip::fillPlainDetail(column, input.fallbackArguments, input.fallbackResult, input.isError);
    return box;
}

bool updateToolPresentation(QWidget *content, const ToolPresentationInput &)
{
    // The plain card holds only derived text: make it afresh on every change.
    Q_UNUSED(content);
    return false;
}

} // namespace nbd::BlockContent
