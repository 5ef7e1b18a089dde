#ifndef SUPPORT_RANDOM_REFILL_H
#define SUPPORT_RANDOM_REFILL_H

#include <cstdint>

// The refills of the process-wide generator's buffer.  Each sets words[from ..
// to) to the sequence x[i] = x[i - 31] + x[i - 3] (mod 2^32) continued from
// the words before `from`, of which it reads the last 48.
namespace vp_detail {
void random_generate_scalar(uint32_t *words, unsigned from, unsigned to);
// Only on a CPU with AVX-512F.
void random_generate_avx512(uint32_t *words, unsigned from, unsigned to);
}  // namespace vp_detail

#endif
