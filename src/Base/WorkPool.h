#pragma once

class QThreadPool;

namespace nbd {

// The threads of the client's own pure work (history folds and decodes, Markdown parses,
// spoken words, documents built or freed off the main thread). Not Qt's global pool: Qt's
// raster engine splits large fills across the global pool's threads and waits for them all,
// so a paint that shared that pool with a parse waited behind it.
QThreadPool *workPool();

} // namespace nbd
