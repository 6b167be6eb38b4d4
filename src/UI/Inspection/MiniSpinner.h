#pragma once

#include <QWidget>

class QVariantAnimation;

namespace nbd {

// A small indeterminate progress indicator: an arc that turns while shown (it stands still
// with reduce motion on).
class MiniSpinner : public QWidget
{
    Q_OBJECT
public:
    explicit MiniSpinner(int size = 12, QWidget *parent = nullptr);
    QSize sizeHint() const override { return {m_size, m_size}; }
    bool isAnimating() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int m_size;
    qreal m_angle = 0;
    QVariantAnimation *m_animation;
};

} // namespace nbd
