#pragma once

#include <QEasingCurve>
#include <QObject>

namespace nbd {

// The process-wide "reduce motion" switch and the animation curves of the window. With
// reduce motion on, layout changes jump to their end and repeating effects stand still.
// NBD_REDUCE_MOTION=1 turns it on at start (tests, screenshots).
class Motion : public QObject
{
    Q_OBJECT
public:
    static Motion *instance();
    static bool reduceMotion();
    static void setReduceMotion(bool on);

    static constexpr int kLayoutMs = 220;   // panels and the terminal dock
    static constexpr int kSidebarMs = 300;  // collapsing and expanding the sidebar
    static QEasingCurve easeInOut() { return QEasingCurve(QEasingCurve::InOutCubic); }

Q_SIGNALS:
    void reduceMotionChanged(bool on);

private:
    Motion();
    bool m_reduceMotion = false;
};

} // namespace nbd
