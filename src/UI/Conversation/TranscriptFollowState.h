#pragma once

namespace nbd {

// Whether the transcript keeps the newest output in view. Pure: it only hears about what the
// scroll view and the session do, and answers how to scroll, so its rules are tested without
// widgets. Following stops as soon as the user scrolls and comes back when a scroll comes to
// rest near the end; programmatic scrolls change nothing.
class TranscriptFollowState
{
public:
    static constexpr double kNearBottomSlack = 72;

    struct Geometry
    {
        double contentHeight = 0;
        double containerHeight = 0;
        double visibleMaxY = 0; // the bottom edge of the visible rectangle, in content coordinates
    };

    // What the user or the program is doing with the scroll view.
    enum class Phase { Idle, Tracking, Interacting, Decelerating, Animating };

    enum class Scroll { None, Jump, Animated };

    // The content fits, or the visible bottom is within 72 of the end.
    static bool isNearBottom(const Geometry &g)
    {
        return g.containerHeight + 1 >= g.contentHeight || g.visibleMaxY >= g.contentHeight - kNearBottomSlack;
    }

    bool following() const { return m_following; }
    Phase phase() const { return m_phase; }

    // The scroll view was shown (also for another session): follow and jump to the end.
    Scroll appeared(const Geometry &g)
    {
        m_following = true;
        m_phase = Phase::Idle;
        m_nearBottom = isNearBottom(g);
        return Scroll::Jump;
    }

    void phaseChanged(Phase phase, const Geometry &g)
    {
        if (phase == m_phase)
            return;
        m_phase = phase;
        switch (phase) {
        case Phase::Tracking:
        case Phase::Interacting:
        case Phase::Decelerating:
            m_following = false;
            break;
        case Phase::Idle:
            m_following = isNearBottom(g);
            break;
        case Phase::Animating:
            break;
        }
    }

    // Only a change of the near-bottom test to true turns following on.
    void geometryChanged(const Geometry &g)
    {
        const bool near = isNearBottom(g);
        if (near && !m_nearBottom)
            m_following = true;
        m_nearBottom = near;
    }

    Scroll transcriptRevisionChanged() const { return m_following ? Scroll::Jump : Scroll::None; }
    Scroll steeringCountChanged() const { return m_following ? Scroll::Animated : Scroll::None; }
    Scroll runningChanged(bool running) const { return running && m_following ? Scroll::Animated : Scroll::None; }

    Scroll backToLatestPressed()
    {
        m_following = true;
        return Scroll::Animated;
    }

private:
    bool m_following = true;
    bool m_nearBottom = true;
    Phase m_phase = Phase::Idle;
};

} // namespace nbd
