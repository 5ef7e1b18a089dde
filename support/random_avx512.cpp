// Built with -mavx512f.  Only reached when the CPU reports AVX-512F.
#include <immintrin.h>

// GCC 12's _mm512_alignr_epi32 passes _mm512_undefined_epi32() as the
// (unused, fully masked-off) source and then warns about it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "random_refill.h"

namespace vp_detail {

// Sixteen words at a time need a recurrence whose every lag is at least 16.
// Adding x[i - 3k] = x[i - 3k - 3] + x[i - 3k - 31] for k = 0 to 5, the words
// between cancel and
//   x[i] = x[i - 18] + x[i - 31] + x[i - 34] + x[i - 37] + x[i - 40]
//          + x[i - 43] + x[i - 46],
// which holds wherever the original does at i, i - 3, ..., i - 15.  The 48
// words before a block are the three previous blocks, kept in registers; each
// lagged run of sixteen is a shifted window across two of them.
void random_generate_avx512(uint32_t *words, unsigned from, unsigned to)
{
    __m512i x0 = _mm512_loadu_si512(words + from - 48);
    __m512i x1 = _mm512_loadu_si512(words + from - 32);
    __m512i x2 = _mm512_loadu_si512(words + from - 16);
    unsigned i = from;
    for (; i + 16 <= to; i += 16) {
        // The run starting at i - L begins at word 48 - L of x0, x1, x2.
        const __m512i l18 = _mm512_alignr_epi32(x2, x1, 14);
        const __m512i l31 = _mm512_alignr_epi32(x2, x1, 1);
        const __m512i l34 = _mm512_alignr_epi32(x1, x0, 14);
        const __m512i l37 = _mm512_alignr_epi32(x1, x0, 11);
        const __m512i l40 = _mm512_alignr_epi32(x1, x0, 8);
        const __m512i l43 = _mm512_alignr_epi32(x1, x0, 5);
        const __m512i l46 = _mm512_alignr_epi32(x1, x0, 2);
        const __m512i x3 = _mm512_add_epi32(
            _mm512_add_epi32(_mm512_add_epi32(l18, l31), _mm512_add_epi32(l34, l37)),
            _mm512_add_epi32(_mm512_add_epi32(l40, l43), l46));
        _mm512_storeu_si512(words + i, x3);
        x0 = x1;
        x1 = x2;
        x2 = x3;
    }
    random_generate_scalar(words, i, to);
}

}  // namespace vp_detail
