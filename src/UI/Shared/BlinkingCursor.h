#pragma once

#include <QWidget>

class QVariantAnimation;

namespace nbd {

// The "▍" cursor at the end of streaming text; fades out and in while shown.
class BlinkingCursor : public QWidget
{
    Q_OBJECT
public:
    explicit BlinkingCursor(QWidget *parent = nullptr);
    qreal opacity() const { return m_opacity; }
    bool isAnimating() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QVariantAnimation *m_animation = nullptr;
    qreal m_opacity = 1.0;
};

} // namespace nbd
