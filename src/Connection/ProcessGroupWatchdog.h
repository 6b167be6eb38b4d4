#pragma once

#include <QtGlobal>

namespace nbd {

// Ends the process groups the application started when the application ends, however it ends:
// a normal quit, a signal, a crash, SIGKILL, or Qt leaving at once when the display connection
// goes. A small child process, forked once, holds one end of a socket pair whose other end only
// the application holds (close-on-exec, so no launched program inherits it). When that end
// closes, which the kernel does as the application's process ends, the watchdog sends SIGTERM
// to every group it was told of, SIGKILL to what is left after a short grace, and exits.
//
// A group is told of right after its leader started, and forgotten once the application has
// ended it itself (or found it empty), so that a later group reusing the number is never hit.
// A process that leaves its group (setsid, setpgid) is out of reach. Main thread only.
namespace ProcessGroupWatchdog {

// How long the watchdog waits between SIGTERM and SIGKILL.
inline constexpr int kGraceMs = 2000;

// Starts the watchdog when none runs (again, should the first have gone); false when it cannot
// be started, in which case only the application's own quit path ends its groups.
bool ensureRunning();
// Adds a group (its leader's pid) to those the watchdog ends; ignores a group of 0 or less.
void watch(qint64 group);
void forget(qint64 group);

} // namespace ProcessGroupWatchdog

} // namespace nbd
