#pragma once

#include <QColor>
#include <QWidget>

class QVariantAnimation;

namespace nbd {

// The small indeterminate progress indicator used everywhere: an arc turning over a faint ring.
// It turns only while shown in a window and stands still while motion is reduced; it takes no
// clicks. Callers give it an accessible name where it stands for a state.
class Spinner : public QWidget
{
    Q_OBJECT
public:
    explicit Spinner(int side = 12, QWidget *parent = nullptr);

    // The arc's colour (the ring is the same at a quarter of its opacity); the secondary text
    // colour of the theme when unset.
    void setColor(const QColor &color);
    bool isAnimating() const;
    QSize sizeHint() const override { return {m_side, m_side}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void startIfShown();

    int m_side;
    qreal m_angle = 0;
    QColor m_color;
    QVariantAnimation *m_animation = nullptr; // made on first show
};

} // namespace nbd
