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
// The mode (fc_filter.h) is fixed per call, so each gets its own loop:
// division: vdivpd, the IEEE division of the rule, whose ordered comparisons
// are false for NaN as >= and <= are; two_band and one_band: the signs of two
// fused multiply-adds, with the division for a vector that has a lane in a
// band; additive: one addition per threshold and lane, with the one_band test
// for a vector that has a lane within the bound.
template <fc_mode M>
struct tail_avx2 {
    // Without vector-lane counts the additive test is the cheaper one for
    // the exhaustive members.
    static constexpr bool exact_signs_first = false;

    __m256d hi, lo;
    __m256i key_plus_one;
    __m256d bound, magnitude;
    double high, low;
    // Whether the above and below counts are wanted apart (for the trace), or
    // only their sum.
    bool split;
    // fc_mode::additive: per record, s - high * f and low * f - s, in the
    // layout of the walk's arrays, which start at f_base.
    const double *f_base = nullptr;
    double a1[sampled_max_len];
    double a2[sampled_max_len];

    explicit tail_avx2(const tail_setup &t)
        : hi(_mm256_set1_pd(t.high)), lo(_mm256_set1_pd(t.low)), high(t.high), low(t.low),
          split(Debug)
    {
        const fc_filter flt = make_fc_filter(t.list, t.n, t.k, t.high, t.low);
        key_plus_one = _mm256_set1_epi64x(flt.band_key + 1);
        bound = _mm256_set1_pd(flt.add_bound);
        magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
    }

    void prepare(const double *f, const double *s, size_t len)
    {
        if constexpr (M == fc_mode::additive) {
            f_base = f;
            for (size_t i = 0; i < len; ++i) {
                a1[i] = std::fma(-high, f[i], s[i]);
                a2[i] = std::fma(low, f[i], -s[i]);
            }
        } else {
            (void)f, (void)s, (void)len;
        }
    }

    // Lane masks for 0 to 4 live lanes, as maskload wants them.
    static __m256i load_mask(size_t left)
    {
        alignas(32) static const int64_t masks[5][4] = {
            {0, 0, 0, 0}, {-1, 0, 0, 0}, {-1, -1, 0, 0}, {-1, -1, -1, 0}, {-1, -1, -1, -1}};
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(masks[left < 4 ? left : 4]));
    }

    static unsigned bits(__m256d v) { return static_cast<unsigned>(_mm256_movemask_pd(v)); }
    static unsigned bits(__m256i v) { return bits(_mm256_castsi256_pd(v)); }
    static unsigned count(unsigned m) { return static_cast<unsigned>(__builtin_popcount(m)); }

    void exact(unsigned live, __m256d s1, __m256d s2, uint64_t &a, uint64_t &b) const
    {
        const __m256d fc = _mm256_div_pd(s2, s1);
        const unsigned up = bits(_mm256_cmp_pd(fc, hi, _CMP_GE_OQ)) & live;
        const unsigned dn = bits(_mm256_cmp_pd(fc, lo, _CMP_LE_OQ)) & live & ~up;
        a += count(up);
        b += count(dn);
    }

    // Exact signs of s2 - high * s1 and low * s1 - s2: a lane is >= 0 exactly
    // when its sign bit is clear.
    template <bool OneBand>
    void signs(unsigned live, __m256d s1, __m256d s2, uint64_t &a, uint64_t &b) const
    {
        const __m256d r1 = _mm256_fnmadd_pd(hi, s1, s2);
        const __m256d r2 = _mm256_fmsub_pd(lo, s1, s2);
        // S1 = 0 (a zero count in every record) is left to the division.
        const unsigned no_s1 = bits(_mm256_cmp_pd(s1, _mm256_setzero_pd(), _CMP_EQ_OQ));
        if constexpr (OneBand) {
            const __m256d mx = _mm256_max_pd(r1, r2);
            const __m256i in_band = _mm256_cmpgt_epi64(key_plus_one, _mm256_castpd_si256(mx));
            if (!((bits(in_band) | no_s1) & live)) [[likely]] {
                const unsigned up = ~bits(r1) & live;
                const unsigned ext = ~bits(mx) & live;
                a += count(up);
                b += count(ext & ~up);
                return;
            }
        } else {
            const __m256i in_band =
                _mm256_or_si256(_mm256_cmpgt_epi64(key_plus_one, _mm256_castpd_si256(r1)),
                                _mm256_cmpgt_epi64(key_plus_one, _mm256_castpd_si256(r2)));
            if (!((bits(in_band) | no_s1) & live)) [[likely]] {
                const unsigned up = ~bits(r1) & live;
                const unsigned dn = ~bits(r2) & live & ~up;
                a += count(up);
                b += count(dn);
                return;
            }
        }
        exact(live, s1, s2, a, b);
    }

    // One vector of the additive test; the exact tests when it cannot decide.
    void additive(unsigned live, __m256d c1, __m256d c2, __m256d t1v, __m256d t2v,
                  const double *f, const double *s, __m256i m, double bf, double bs, uint64_t &a,
                  uint64_t &b) const
    {
        const __m256d t1 = _mm256_add_pd(c1, t1v);
        const __m256d t2 = _mm256_add_pd(c2, t2v);
        const __m256d mx = _mm256_max_pd(t1, t2);
        const unsigned near =
            bits(_mm256_cmp_pd(_mm256_and_pd(mx, magnitude), bound, _CMP_LE_OQ)) & live;
        if (!near) [[likely]] {
            const unsigned ext = bits(_mm256_cmp_pd(mx, bound, _CMP_GT_OQ)) & live;
            // Unsplit, every extreme lane is counted as above; only the sum
            // is reported then.
            const unsigned up = split ? bits(_mm256_cmp_pd(t1, bound, _CMP_GT_OQ)) & ext : ext;
            a += count(up);
            b += count(ext & ~up);
        } else {
            const __m256d s1 = _mm256_add_pd(_mm256_set1_pd(bf), _mm256_maskload_pd(f, m));
            const __m256d s2 = _mm256_add_pd(_mm256_set1_pd(bs), _mm256_maskload_pd(s, m));
            signs<true>(live, s1, s2, a, b);
        }
    }

    void run(const double *f, const double *s, size_t len, double base_f, double base_s, double,
             double, uint64_t &above, uint64_t &below)
    {
        const __m256d bf = _mm256_set1_pd(base_f);
        const __m256d bs = _mm256_set1_pd(base_s);
        const __m256i all = load_mask(4);
        uint64_t a = 0, b = 0;
        size_t i = 0;
        if constexpr (M == fc_mode::additive) {
            const size_t at = static_cast<size_t>(f - f_base);
            const double *p1 = a1 + at, *p2 = a2 + at;
            const __m256d c1 = _mm256_set1_pd(std::fma(-high, base_f, base_s));
            const __m256d c2 = _mm256_set1_pd(std::fma(low, base_f, -base_s));
            for (; i + 4 <= len; i += 4)
                additive(0xf, c1, c2, _mm256_loadu_pd(p1 + i), _mm256_loadu_pd(p2 + i), f + i,
                         s + i, all, base_f, base_s, a, b);
            const size_t left = len - i;
            const __m256i m = load_mask(left);
            additive((1u << left) - 1, c1, c2, _mm256_maskload_pd(p1 + i, m),
                     _mm256_maskload_pd(p2 + i, m), f + i, s + i, m, base_f, base_s, a, b);
        } else if constexpr (M == fc_mode::unit) {
            if (!split) {
                a = len;  // every combination, and only the sum is reported
            } else {
                auto step = [&](unsigned live, __m256d fv, __m256d sv) {
                    const __m256d s1 = _mm256_add_pd(bf, fv);
                    const __m256d s2 = _mm256_add_pd(bs, sv);
                    const unsigned up = bits(_mm256_cmp_pd(s2, s1, _CMP_GE_OQ)) & live;
                    a += count(up);
                    b += count(live & ~up);
                };
                for (; i + 4 <= len; i += 4)
                    step(0xf, _mm256_loadu_pd(f + i), _mm256_loadu_pd(s + i));
                const size_t left = len - i;
                const __m256i m = load_mask(left);
                step((1u << left) - 1, _mm256_maskload_pd(f + i, m), _mm256_maskload_pd(s + i, m));
            }
        } else {
            auto step = [&](unsigned live, __m256d fv, __m256d sv) {
                const __m256d s1 = _mm256_add_pd(bf, fv);
                const __m256d s2 = _mm256_add_pd(bs, sv);
                if constexpr (M == fc_mode::division)
                    exact(live, s1, s2, a, b);
                else
                    signs<M == fc_mode::one_band>(live, s1, s2, a, b);
            };
            for (; i + 4 <= len; i += 4)
                step(0xf, _mm256_loadu_pd(f + i), _mm256_loadu_pd(s + i));
            const size_t left = len - i;
            const __m256i m = load_mask(left);
            step((1u << left) - 1, _mm256_maskload_pd(f + i, m), _mm256_maskload_pd(s + i, m));
        }
        above += a;
        below += b;
    }

    // The last two levels of an exhaustive walk: the per-row sums and parts
    // of t1 and t2 formed four rows at a time, exactly as run would form them.
    void run2(const double *f, const double *s, size_t len, double base_f, double base_s,
              double, double, uint64_t &above, uint64_t &below)
    {
        if constexpr (M == fc_mode::unit) {
            if (!split) {
                above += len < 2 ? 0 : len * (len - 1) / 2;
                return;
            }
        }
        if constexpr (M != fc_mode::additive) {
            for (size_t i = 0; i + 1 < len; ++i)
                run(f + i + 1, s + i + 1, len - i - 1, base_f + f[i], base_s + s[i], high, low,
                    above, below);
        } else {
            const size_t at = static_cast<size_t>(f - f_base);
            const double *p1 = a1 + at, *p2 = a2 + at;
            alignas(32) double row_f[exhaustive_max_len + 4], row_s[exhaustive_max_len + 4];
            alignas(32) double row_c1[exhaustive_max_len + 4], row_c2[exhaustive_max_len + 4];
            const __m256d bfv = _mm256_set1_pd(base_f), bsv = _mm256_set1_pd(base_s);
            for (size_t i = 0; i < len; i += 4) {
                const __m256i m = load_mask(len - i);
                const __m256d rf = _mm256_add_pd(bfv, _mm256_maskload_pd(f + i, m));
                const __m256d rs = _mm256_add_pd(bsv, _mm256_maskload_pd(s + i, m));
                _mm256_store_pd(row_f + i, rf);
                _mm256_store_pd(row_s + i, rs);
                _mm256_store_pd(row_c1 + i, _mm256_fnmadd_pd(hi, rf, rs));  // rs - high * rf
                _mm256_store_pd(row_c2 + i, _mm256_fmsub_pd(lo, rf, rs));   // low * rf - rs
            }
            const __m256i all = load_mask(4);
            uint64_t a = 0, b = 0;
            for (size_t i = 0; i + 1 < len; ++i) {
                const __m256d c1 = _mm256_broadcast_sd(row_c1 + i);
                const __m256d c2 = _mm256_broadcast_sd(row_c2 + i);
                size_t j = i + 1;
                for (; j + 4 <= len; j += 4)
                    additive(0xf, c1, c2, _mm256_loadu_pd(p1 + j), _mm256_loadu_pd(p2 + j), f + j,
                             s + j, all, row_f[i], row_s[i], a, b);
                if (j < len) {
                    const size_t left = len - j;
                    const __m256i m = load_mask(left);
                    additive((1u << left) - 1, c1, c2, _mm256_maskload_pd(p1 + j, m),
                             _mm256_maskload_pd(p2 + j, m), f + j, s + j, m, row_f[i], row_s[i],
                             a, b);
                }
            }
            above += a;
            below += b;
        }
    }
};

}  // namespace

PVALUE_DEFINE_FILTERED_COUNT_TABLE(avx2_count_table, tail_avx2);
