#pragma once

#include <QMessageBox>

#include <memory>

namespace nbd {

// What a later launch shows when the running instance holds the place but does not take the
// launch over (frozen, or stuck in a long wait): the user would otherwise see nothing happen.
std::unique_ptr<QMessageBox> unresponsiveInstanceDialog();

} // namespace nbd
