#pragma once

#include "Domain/Subagents.h"

#include <QWidget>

class QLabel;

namespace nbd {

class IconView;

// The static card in the composer's place while the shown subagent run cannot take a prompt:
// a one-shot run's record, or a run whose parent session is unavailable.
class SubagentReadOnlyComposer : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kMaxCardWidth = 772;

    explicit SubagentReadOnlyComposer(SelectedSubagent selection, QWidget *parent = nullptr);

    void setSelection(SelectedSubagent selection);
    const SelectedSubagent &selection() const { return m_selection; }
    QString title() const;
    QString explanation() const;
    QString symbolName() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QRect cardRect() const;
    void refresh();

    SelectedSubagent m_selection;
    QWidget *m_card;
    IconView *m_icon;
    QLabel *m_title;
    QLabel *m_explanation;
};

} // namespace nbd
