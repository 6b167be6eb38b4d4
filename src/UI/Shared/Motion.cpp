#include "UI/Shared/Motion.h"

namespace nbd {

Motion::Motion()
    : m_reduceMotion(qEnvironmentVariableIntValue("NBD_REDUCE_MOTION") != 0)
{
}

Motion *Motion::instance()
{
    static Motion *motion = new Motion;
    return motion;
}

bool Motion::reduceMotion() { return instance()->m_reduceMotion; }

void Motion::setReduceMotion(bool on)
{
    Motion *motion = instance();
    if (motion->m_reduceMotion == on)
        return;
    motion->m_reduceMotion = on;
    Q_EMIT motion->reduceMotionChanged(on);
}

} // namespace nbd
