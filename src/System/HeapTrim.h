#pragma once

namespace nbd {

// Hands memory freed by the views back to the system. The C library's allocator keeps the pages
// of freed blocks for reuse, so after a card of hundreds of megabytes was collapsed the process
// stayed as large as it was. A view that lets go of much (a collapsed card, rows scrolled far
// away, a closed session) asks for a trim; it runs once, after the widgets deleted by then are
// gone, however many asked (one trim a quarter of a second at most).
struct HeapTrim
{
    static void soon();
    // Trims now; what soon() runs.
    static void now();
};

} // namespace nbd
