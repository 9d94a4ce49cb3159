// Work done beside a copy (measuring what it copies, say) must not slow it:
// the calling thread then runs only on processor time nothing else wants
// (on Linux, so do the threads it starts afterwards). Meant for a thread of
// its own: it is not raised again.
#pragma once

namespace brimvale {

// Best effort: where the system cannot lower the thread, it runs as before.
void yieldToOtherWork();

}  // namespace brimvale
