#include "UI/Shared/NotificationCenter.h"

namespace nbd {

NotificationCenter *NotificationCenter::defaultCenter()
{
    static NotificationCenter *center = new NotificationCenter;
    return center;
}

} // namespace nbd
