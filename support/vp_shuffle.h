#ifndef VP_SHUFFLE_H
#define VP_SHUFFLE_H

#include <cstddef>
#include <cstdint>

// Permutes count records of size bytes in place, every record kept.  The
// result is a function of the multiset of records alone: the records are put
// in a canonical order of their bytes, then permuted by Fisher-Yates with a
// private generator seeded from a hash of that content.  So the same records
// given in any order come out in the same order, whatever was shuffled
// before, and the process-wide random() sequence is never touched.  Records
// of 16 bytes are put in order in O(count log count), other sizes by
// insertion.  Returns the seed, the hash of the records in canonical order
// (0 for fewer than two records), for callers that derive more from the same
// content.
uint64_t vp_shuffle(void *base, size_t count, size_t size);

#endif
