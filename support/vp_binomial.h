#ifndef VP_BINOMIAL_H
#define VP_BINOMIAL_H

#include <cstdint>

// n choose k, exact in unsigned 64-bit arithmetic whenever the result fits
// (380 choose 10 included); no intermediate overflows.  0 when k > n.
// A result that does not fit in 64 bits gives UINT64_MAX.
uint64_t vp_n_choose_k(uint64_t n, uint64_t k);

#endif
