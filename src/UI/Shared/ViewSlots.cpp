#include "UI/Shared/ViewSlots.h"

namespace nbd {

namespace {

ViewSlots &installed()
{
    static ViewSlots viewSlots;
    return viewSlots;
}

} // namespace

const ViewSlots &viewSlots() { return installed(); }

void setViewSlots(ViewSlots viewSlots) { installed() = std::move(viewSlots); }

} // namespace nbd
