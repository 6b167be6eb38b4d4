#pragma once

#include <QAbstractButton>

#include <functional>
#include <memory>
#include <vector>

namespace nbd {

class SessionModel;

// One line of faint text under the composer that sums up the run: turns and steps, model and
// tool time, latency and decode speed, cache hits, input and output tokens. The whole line is
// one button; a click runs `action` (the conversation opens the inspector's run panel).
class RuntimeSummaryBar : public QAbstractButton
{
    Q_OBJECT
public:
    static constexpr int kMaxLineWidth = 748;
    static constexpr int kSidePadding = 32;

    RuntimeSummaryBar(std::shared_ptr<SessionModel> session, std::function<void()> action, QWidget *parent = nullptr);

    const std::vector<QString> &segments() const { return m_segments; }

    // One text of the painted line at its left edge: a segment (cut with an ellipsis when
    // it does not fit), a separator, or a lone ellipsis that ends a line too narrow for the
    // next segment.
    struct Piece
    {
        QString text;
        int x = 0;
    };
    std::vector<Piece> lineLayout() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();

    std::shared_ptr<SessionModel> m_session;
    std::function<void()> m_action;
    std::vector<QString> m_segments;
};

} // namespace nbd
