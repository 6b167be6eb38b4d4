#pragma once

#include <QWidget>

class QVariantAnimation;

namespace nbd {

// The small indeterminate progress indicator of the tools: a turning arc, standing still
// while motion is reduced or the spinner is hidden.
class ActivitySpinner : public QWidget
{
    Q_OBJECT
public:
    explicit ActivitySpinner(int side = 12, QWidget *parent = nullptr);
    QSize sizeHint() const override { return {m_side, m_side}; }
    bool isAnimating() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int m_side;
    qreal m_angle = 0;
    QVariantAnimation *m_animation;
};

} // namespace nbd
