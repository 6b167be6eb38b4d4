#pragma once

#include <QWidget>

class QVariantAnimation;

namespace nbd {

// A small spinning arc: the progress spinner of loading lines and running calls. It turns only
// while shown in a window and stands still under reduce motion.
class ProgressSpinner : public QWidget
{
    Q_OBJECT
public:
    enum class Size { Mini, Small };
    explicit ProgressSpinner(Size size = Size::Small, QWidget *parent = nullptr);

    bool isAnimating() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    Size m_size;
    QVariantAnimation *m_animation = nullptr;
    qreal m_angle = 0;
};

} // namespace nbd
