#pragma once

class QThreadPool;

namespace nbd {

// The wire's own decoding threads: event stream frames and large replies to remote calls are
// parsed here, never waiting behind a history fold on the client's work pool.
QThreadPool *decodePool();

} // namespace nbd
