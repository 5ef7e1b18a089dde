#ifndef VP_SHUFFLE_H
#define VP_SHUFFLE_H

#include <cstddef>

// Permutes count records of size bytes in place, uniformly (Fisher-Yates).
// Draws come from a private deterministic generator, so the shuffle never
// disturbs the process-wide random() sequence that sampled counting and the
// simulator share.  The private generator's sequence continues from call to
// call, starting from a fixed state in every process.
void vp_shuffle(void *base, size_t count, size_t size);

#endif
