// Built with -mavx2 -mfma -mpopcnt.  Only reached when the CPU reports AVX2,
// FMA and POPCNT.
#include <immintrin.h>

#include "fc_filter.h"
#include "kernels.h"
#include "kernels_table.h"

namespace {

// Four combinations at a time.  A vector that is not full is loaded under a
// mask, so its unused lanes are neither read nor counted; an empty run still
// goes through once with nothing live, which keeps the sampled walk's deepest
// level free of a data-dependent branch.
//
// Where the call allows it (fc_filter.h), each vector is classified without a
// division from the signs of two fused multiply-adds; a vector with a lane in
// the narrow band where that cannot decide, and every vector of a call that
// the filter does not cover, is classified with vdivpd, the IEEE division of
// the rule, whose ordered comparisons are false for NaN as >= and <= are.
struct tail_avx2 {
    __m256d hi, lo;
    __m256i key_plus_one;
    bool filtered, one_band;

    explicit tail_avx2(const tail_setup &t)
        : hi(_mm256_set1_pd(t.high)), lo(_mm256_set1_pd(t.low))
    {
        const fc_filter flt = make_fc_filter(t.list, t.n, t.k, t.high, t.low);
        key_plus_one = _mm256_set1_epi64x(flt.band_key + 1);
        filtered = flt.usable;
        one_band = flt.one_band;
    }

    // Lane masks for 0 to 4 live lanes, as maskload wants them.
    static __m256i load_mask(size_t left)
    {
        alignas(32) static const int64_t masks[5][4] = {
            {0, 0, 0, 0}, {-1, 0, 0, 0}, {-1, -1, 0, 0}, {-1, -1, -1, 0}, {-1, -1, -1, -1}};
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(masks[left < 4 ? left : 4]));
    }

    static unsigned signs(__m256d v) { return static_cast<unsigned>(_mm256_movemask_pd(v)); }
    static unsigned signs(__m256i v) { return signs(_mm256_castsi256_pd(v)); }
    static unsigned count(unsigned m) { return static_cast<unsigned>(__builtin_popcount(m)); }

    void classify(unsigned live, __m256d s1, __m256d s2, uint64_t &a, uint64_t &b) const
    {
        if (filtered) {
            const __m256d r1 = _mm256_fnmadd_pd(hi, s1, s2);  // s2 - high * s1
            const __m256d r2 = _mm256_fmsub_pd(lo, s1, s2);   // low * s1 - s2
            // A lane is >= 0 exactly when its sign bit is clear.
            if (one_band) {
                const __m256d mx = _mm256_max_pd(r1, r2);
                const __m256i in_band = _mm256_cmpgt_epi64(key_plus_one, _mm256_castpd_si256(mx));
                if (!(signs(in_band) & live)) {
                    const unsigned up = ~signs(r1) & live;
                    const unsigned ext = ~signs(mx) & live;
                    a += count(up);
                    b += count(ext & ~up);
                    return;
                }
            } else {
                const __m256i in_band =
                    _mm256_or_si256(_mm256_cmpgt_epi64(key_plus_one, _mm256_castpd_si256(r1)),
                                    _mm256_cmpgt_epi64(key_plus_one, _mm256_castpd_si256(r2)));
                if (!(signs(in_band) & live)) {
                    const unsigned up = ~signs(r1) & live;
                    const unsigned dn = ~signs(r2) & live & ~up;
                    a += count(up);
                    b += count(dn);
                    return;
                }
            }
        }
        const __m256d fc = _mm256_div_pd(s2, s1);
        const unsigned up = signs(_mm256_cmp_pd(fc, hi, _CMP_GE_OQ)) & live;
        const unsigned dn = signs(_mm256_cmp_pd(fc, lo, _CMP_LE_OQ)) & live & ~up;
        a += count(up);
        b += count(dn);
    }

    void run(const double *f, const double *s, size_t len, double base_f, double base_s, double,
             double, uint64_t &above, uint64_t &below) const
    {
        const __m256d bf = _mm256_set1_pd(base_f);
        const __m256d bs = _mm256_set1_pd(base_s);
        uint64_t a = 0, b = 0;
        size_t i = 0;
        for (; i + 4 <= len; i += 4) {
            const __m256d s1 = _mm256_add_pd(bf, _mm256_loadu_pd(f + i));
            const __m256d s2 = _mm256_add_pd(bs, _mm256_loadu_pd(s + i));
            classify(0xf, s1, s2, a, b);
        }
        // The rest, possibly nothing, under a mask.
        const size_t left = len - i;
        const __m256i m = load_mask(left);
        const __m256d s1 = _mm256_add_pd(bf, _mm256_maskload_pd(f + i, m));
        const __m256d s2 = _mm256_add_pd(bs, _mm256_maskload_pd(s + i, m));
        classify((1u << left) - 1, s1, s2, a, b);
        above += a;
        below += b;
    }
};

}  // namespace

PVALUE_DEFINE_COUNT_TABLE(avx2_count_table, tail_avx2);
