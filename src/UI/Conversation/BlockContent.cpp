#include "UI/Conversation/BlockContent.h"

#include "UI/Shared/MarkdownText.h"
#include "UI/Conversation/ToolPresentationView.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd::BlockContent {

namespace {

constexpr const char *kFinalTextRole = "nbdFinalText";

} // namespace

QWidget *createFinalText(const QString &text, QWidget *parent)
{
    auto *view = new MarkdownText(text, false, parent);
    view->setProperty(kFinalTextRole, true);
    return view;
}

bool updateFinalText(QWidget *content, const QString &text)
{
    auto *view = qobject_cast<MarkdownText *>(content);
    if (!view || !view->property(kFinalTextRole).toBool())
        return false;
    view->setContent(text, false);
    return true;
}

QWidget *createToolPresentation(const ToolCardInput &input, QWidget *parent)
{
    auto *view = new ToolPresentationView(input, parent);
    view->setObjectName(u"tool-presentation"_s);
    return view;
}

bool updateToolPresentation(QWidget *content, const ToolCardInput &input)
{
    auto *view = qobject_cast<ToolPresentationView *>(content);
    if (!view)
        return false;
    view->setInput(input);
    return true;
}

} // namespace nbd::BlockContent
