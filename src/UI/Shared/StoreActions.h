#pragma once

#include <QCoroTask>

namespace nbd {

class SessionDirectory;

// Runs a store action's task detached on the main thread; the store reports its own failures,
// so anything thrown past it is dropped here rather than lost inside an unawaited task.
void startStoreTask(QCoro::Task<void> task);

// Starts "new session" outside any workspace and returns at once.
void startCreateSession(SessionDirectory *directory);

} // namespace nbd
