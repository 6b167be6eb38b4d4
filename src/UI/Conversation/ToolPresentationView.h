#pragma once

#include "Domain/ToolPresentationModel.h"

#include <QWidget>

namespace nbd {

// The card of one tool call, drawn from its card model. Files and addresses open through the
// window's link action (LinkOpener). Object names: "tool-card-<kind>" on the card.
class ToolPresentationView : public QWidget
{
    Q_OBJECT
public:
    explicit ToolPresentationView(ToolCardInput input, QWidget *parent = nullptr);

    // Rebuilds the card when the input differs from the one shown.
    void setInput(ToolCardInput input);
    const ToolCardInput &input() const { return m_input; }
    const ToolCardModel &model() const { return m_model; }

private:
    void rebuild();
    void openFile(const std::optional<QString> &path);
    void openWeb(const QString &address);

    QWidget *buildGeneric(const GenericCard &card);
    QWidget *buildTerminal(const TerminalCard &card);
    QWidget *buildDiff(const DiffCard &card);
    QWidget *diffEntry(const DiffEntry &entry, QWidget *parent);
    QWidget *buildSearch(const SearchCard &card);
    QWidget *searchGroup(const SearchGroup &group, const QString &title, QWidget *parent);
    QWidget *buildRead(const ReadCard &card);
    QWidget *buildWeb(const WebCard &card);
    QWidget *fileButton(const FileButton &file, const QFont &font, const QString &symbol, QWidget *parent);

    ToolCardInput m_input;
    ToolCardModel m_model;
    QWidget *m_card = nullptr;
};

} // namespace nbd
