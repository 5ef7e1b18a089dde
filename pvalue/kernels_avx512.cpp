// Built with -mavx512f.  Only reached when the CPU reports AVX-512F.
#include <immintrin.h>

#include "kernels.h"
#include "kernels_table.h"

namespace {

// Eight combinations at a time; the last partial vector is masked, so its
// unused lanes are neither loaded nor counted.
struct tail_avx512 {
    static void run(const double *f, const double *s, size_t len, double base_f, double base_s,
                    double high, double low, uint64_t &above, uint64_t &below)
    {
        const __m512d bf = _mm512_set1_pd(base_f);
        const __m512d bs = _mm512_set1_pd(base_s);
        const __m512d hi = _mm512_set1_pd(high);
        const __m512d lo = _mm512_set1_pd(low);
        uint64_t a = 0, b = 0;
        for (size_t i = 0; i < len; i += 8) {
            __mmask8 live = len - i >= 8 ? __mmask8(0xff) : __mmask8((1u << (len - i)) - 1);
            __m512d fc = _mm512_div_pd(_mm512_add_pd(bs, _mm512_maskz_loadu_pd(live, s + i)),
                                       _mm512_add_pd(bf, _mm512_maskz_loadu_pd(live, f + i)));
            __mmask8 up = _mm512_mask_cmp_pd_mask(live, fc, hi, _CMP_GE_OQ);
            __mmask8 dn = _mm512_mask_cmp_pd_mask(live & ~up, fc, lo, _CMP_LE_OQ);
            a += static_cast<unsigned>(__builtin_popcount(up));
            b += static_cast<unsigned>(__builtin_popcount(dn));
        }
        above += a;
        below += b;
    }
};

}  // namespace

PVALUE_DEFINE_COUNT_TABLE(avx512_count_table, tail_avx512);
