#pragma once

namespace nbd {

class AppModel;

// Starts "new session" on the store in a main-thread task and returns at once; the store
// reports its own failures through its transient error.
void startCreateSession(AppModel *appModel);

} // namespace nbd
