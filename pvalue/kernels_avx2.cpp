// Built with -mavx2 -mfma -mpopcnt.  Only reached when the CPU reports AVX2,
// FMA and POPCNT.
#include <immintrin.h>

#include "fc_filter.h"
#include "kernels.h"
#include "kernels_table.h"
#include "lane_tally.h"

namespace {

// Four combinations at a time.  A vector that is not full is loaded whole
// from the zero-padded arrays and its unused lanes are not counted; an empty
// run still goes through once with nothing live, which keeps the sampled
// walk's deepest level free of a data-dependent branch.
//
// The mode (fc_filter.h) is fixed per call, so each gets its own loop:
// division: vdivpd, the IEEE division of the rule, whose ordered comparisons
// are false for NaN as >= and <= are; two_band and one_band: the signs of two
// fused multiply-adds, with the division for a vector that has a lane in a
// band.
template <fc_mode M>
struct tail_avx2 {
    __m256d hi, lo;
    __m256i key_plus_one;
    double high, low;
    // Whether the above and below counts are wanted apart (for the trace), or
    // only their sum.
    bool split;
    // Whether S1 can be 0, which the exact-sign tests leave to the division.
    bool zero_first;

    explicit tail_avx2(const tail_setup &t)
        : hi(_mm256_set1_pd(t.high)), lo(_mm256_set1_pd(t.low)), high(t.high), low(t.low),
          split(Debug)
    {
        const fc_filter flt = make_fc_filter(t.list, t.n, t.k, t.high, t.low);
        zero_first = flt.zero_first;
        key_plus_one = _mm256_set1_epi64x(flt.band_key + 1);
    }

    // All ones in the lanes below `left`.
    static __m256i live_lanes(size_t left)
    {
        alignas(32) static const int64_t masks[5][4] = {
            {0, 0, 0, 0}, {-1, 0, 0, 0}, {-1, -1, 0, 0}, {-1, -1, -1, 0}, {-1, -1, -1, -1}};
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(masks[left < 4 ? left : 4]));
    }

    static unsigned bits(__m256d v) { return static_cast<unsigned>(_mm256_movemask_pd(v)); }
    static unsigned bits(__m256i v) { return bits(_mm256_castsi256_pd(v)); }
    static unsigned count(unsigned m) { return static_cast<unsigned>(__builtin_popcount(m)); }

    static uint64_t lane_sum(__m256i v)
    {
        alignas(32) uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), v);
        return lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }

    void exact(unsigned live, __m256d s1, __m256d s2, uint64_t &a, uint64_t &b) const
    {
        const __m256d fc = _mm256_div_pd(s2, s1);
        const unsigned up = bits(_mm256_cmp_pd(fc, hi, _CMP_GE_OQ)) & live;
        const unsigned dn = bits(_mm256_cmp_pd(fc, lo, _CMP_LE_OQ)) & live & ~up;
        a += count(up);
        b += count(dn);
    }

    // Exact signs of s2 - high * s1 and low * s1 - s2, each against its own
    // band: a lane is >= 0 exactly when its sign bit is clear.
    void two_band(unsigned live, __m256d s1, __m256d s2, uint64_t &a, uint64_t &b) const
    {
        const __m256d r1 = _mm256_fnmadd_pd(hi, s1, s2);
        const __m256d r2 = _mm256_fmsub_pd(lo, s1, s2);
        // S1 = 0 (a zero count in every record) is left to the division.
        const unsigned no_s1 = bits(_mm256_cmp_pd(s1, _mm256_setzero_pd(), _CMP_EQ_OQ));
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
        exact(live, s1, s2, a, b);
    }

    // The one-band mode counts in vector lanes: a lane's compare result is
    // all ones, so subtracting it adds 1.
    using tally = lane_tally<__v4di>;

    // Called by the walk once every combination has been through run.
    void finish(const tally &t, uint64_t &above, uint64_t &below) const
    {
        finish_lanes(t, split, lane_sum, above, below);
    }

    // The exact signs for every lane: the larger of r1 and r2 is >= 0 exactly
    // for the extreme lanes, r1 for those above.  Only a lane in the band, or
    // with S1 = 0 where that can happen, goes to the division.  f and s may
    // be read a whole vector past len (tail_pad).
    template <bool Split, bool ZeroFirst>
    void one_band(tally &t, const double *f, const double *s, size_t len, __m256d bf,
                  __m256d bs) const
    {
        const __m256i minus_one = _mm256_set1_epi64x(-1);
        __m256i n_ext = t.n_ext, n_up = t.n_up;
        size_t i = 0;
        do {
            const __m256i live = live_lanes(len - i);
            const __m256d s1 = _mm256_add_pd(bf, _mm256_loadu_pd(f + i));
            const __m256d s2 = _mm256_add_pd(bs, _mm256_loadu_pd(s + i));
            const __m256d r1 = _mm256_fnmadd_pd(hi, s1, s2);
            const __m256d r2 = _mm256_fmsub_pd(lo, s1, s2);
            const __m256i mx = _mm256_castpd_si256(_mm256_max_pd(r1, r2));
            __m256i open = _mm256_cmpgt_epi64(key_plus_one, mx);
            if constexpr (ZeroFirst)
                open = _mm256_or_si256(open, _mm256_castpd_si256(_mm256_cmp_pd(
                                                 s1, _mm256_setzero_pd(), _CMP_EQ_OQ)));
            if (_mm256_testz_si256(open, live)) [[likely]] {
                const __m256i ext = _mm256_and_si256(_mm256_cmpgt_epi64(mx, minus_one), live);
                n_ext = _mm256_sub_epi64(n_ext, ext);
                if constexpr (Split) {
                    const __m256i up = _mm256_and_si256(
                        _mm256_cmpgt_epi64(_mm256_castpd_si256(r1), minus_one), ext);
                    n_up = _mm256_sub_epi64(n_up, up);
                }
            } else {
                exact(bits(live), s1, s2, t.above, t.below);
            }
            i += 4;
        } while (i < len);
        t.n_ext = n_ext;
        t.n_up = n_up;
    }

    void run(tally &t, const double *f, const double *s, size_t len, double base_f, double base_s)
    {
        const __m256d bf = _mm256_set1_pd(base_f);
        const __m256d bs = _mm256_set1_pd(base_s);
        if constexpr (M == fc_mode::one_band) {
            run_one_band(*this, t, f, s, len, bf, bs);
            return;
        }
        if constexpr (M == fc_mode::unit) {
            if (!split) {
                t.above += len;  // every combination, and only the sum is reported
                return;
            }
        }
        size_t i = 0;
        do {
            const unsigned live = bits(live_lanes(len - i));
            const __m256d s1 = _mm256_add_pd(bf, _mm256_loadu_pd(f + i));
            const __m256d s2 = _mm256_add_pd(bs, _mm256_loadu_pd(s + i));
            if constexpr (M == fc_mode::unit) {
                const unsigned up = bits(_mm256_cmp_pd(s2, s1, _CMP_GE_OQ)) & live;
                t.above += count(up);
                t.below += count(live & ~up);
            } else if constexpr (M == fc_mode::two_band) {
                two_band(live, s1, s2, t.above, t.below);
            } else {
                exact(live, s1, s2, t.above, t.below);
            }
            i += 4;
        } while (i < len);
    }

    // The last two levels of an exhaustive walk.
    void run2(tally &t, const double *f, const double *s, size_t len, double base_f,
              double base_s)
    {
        run_rows<M>(*this, t, f, s, len, base_f, base_s);
    }
};

}  // namespace

PVALUE_DEFINE_FILTERED_COUNT_TABLE(avx2_count_table, tail_avx2);
