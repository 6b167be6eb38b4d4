#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QWidget>

class QVariantAnimation;

namespace nbd {

// The working indicator of a running session: "Deep diving..." in the accent blue, with a
// light band sweeping through the letters once every 1.8 s. Under reduce motion the band rests
// at the middle of the text. The sweep runs only while the view is shown in a window.
class DeepDivingStatusView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kLineHeight = 26;
    static constexpr int kSweepMs = 1800;

    explicit DeepDivingStatusView(QWidget *parent = nullptr);

    static QString text();
    // The text's width in its font, rounded up, plus one; computed once per process.
    static int textWidth();

    bool reduceMotion() const { return m_reduceMotion; }
    void setReduceMotion(bool on);
    bool isAnimating() const;
    // Horizontal offset of the three-times-wide gradient from its resting place at −2w.
    qreal gradientTranslation() const { return m_translation; }
    // The width the running sweep was built for.
    qreal animatedWidth() const { return m_animatedWidth; }
    // The part of the view the highlight covers at a translation: all that a step of the
    // sweep repaints.
    QRect bandRect(qreal translation) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void updateAnimationIfNeeded(bool force);
    void removeAnimation();
    void moveBand(qreal translation);

    QVariantAnimation *m_animation = nullptr;
    bool m_reduceMotion;
    qreal m_translation = 0;
    qreal m_animatedWidth = 0;
    QElapsedTimer m_frameClock;
    QImage m_mask;  // the text's coverage, in opaque black
    QImage m_frame; // the band through the text, made again for each frame
};

} // namespace nbd
