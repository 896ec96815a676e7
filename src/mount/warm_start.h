// The once-per-process work of opening and materializing, done up front.
#pragma once

namespace ArchiveMount {

// Keeps the local time zone, probes the decoder registry, makes the logger and
// the random source for temporary names and sets up the locale's multibyte
// conversion (call it after the locale is set). Done before the first request,
// their lasting allocations sit below anything a request allocates, so that
// the memory a request frees goes back whole and the same request costs the
// same every time. Idempotent.
void WarmStart();

}  // namespace ArchiveMount
