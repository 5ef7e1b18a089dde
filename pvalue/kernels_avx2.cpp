// Built with -mavx2.  Only reached when the CPU reports AVX2.
#include <immintrin.h>

#include "kernels.h"
#include "kernels_table.h"

namespace {

// Four combinations at a time.  vdivpd is the IEEE division of the scalar
// loop, and the ordered comparisons are false for NaN, as >= and <= are.
struct tail_avx2 {
    static void run(const double *f, const double *s, size_t len, double base_f, double base_s,
                    double high, double low, uint64_t &above, uint64_t &below)
    {
        const __m256d bf = _mm256_set1_pd(base_f);
        const __m256d bs = _mm256_set1_pd(base_s);
        const __m256d hi = _mm256_set1_pd(high);
        const __m256d lo = _mm256_set1_pd(low);
        uint64_t a = 0, b = 0;
        size_t i = 0;
        for (; i + 4 <= len; i += 4) {
            __m256d fc = _mm256_div_pd(_mm256_add_pd(bs, _mm256_loadu_pd(s + i)),
                                       _mm256_add_pd(bf, _mm256_loadu_pd(f + i)));
            unsigned up = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(fc, hi, _CMP_GE_OQ)));
            unsigned dn = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(fc, lo, _CMP_LE_OQ)));
            a += static_cast<unsigned>(__builtin_popcount(up));
            b += static_cast<unsigned>(__builtin_popcount(dn & ~up));
        }
        for (; i < len; ++i) {
            double fc = (base_s + s[i]) / (base_f + f[i]);
            bool up = fc >= high;
            a += up;
            b += !up & (fc <= low);
        }
        above += a;
        below += b;
    }
};

}  // namespace

PVALUE_DEFINE_COUNT_TABLE(avx2_count_table, tail_avx2);
