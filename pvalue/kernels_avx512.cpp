// Built with -mavx512f -mpopcnt.  Only reached when the CPU reports AVX-512F,
// FMA and POPCNT.
#include <immintrin.h>

#include "fc_filter.h"
#include "kernels.h"
#include "kernels_table.h"
#include "lane_tally.h"

namespace {

// Eight combinations at a time.  A vector that is not full is masked, so its
// unused lanes are not counted; an empty run still goes through once with
// nothing live, which keeps the sampled walk's deepest level free of a
// data-dependent branch.
//
// The mode (fc_filter.h) is fixed per call, so each gets its own loop:
// division: vdivpd, the IEEE division of the rule, whose ordered comparisons
// are false for NaN as >= and <= are; two_band and one_band: the signs of two
// fused multiply-adds, with the division for a vector that has a lane in a
// band.
template <fc_mode M>
struct tail_avx512 {
    __m512d hi, lo;
    __m512i key;
    double high, low;
    // Whether the above and below counts are wanted apart (for the trace), or
    // only their sum.
    bool split;
    // Whether S1 can be 0, which the exact-sign tests leave to the division.
    bool zero_first;

    explicit tail_avx512(const tail_setup &t)
        : hi(_mm512_set1_pd(t.high)), lo(_mm512_set1_pd(t.low)), high(t.high), low(t.low),
          split(Debug)
    {
        const fc_filter flt = make_fc_filter(t.list, t.n, t.k, t.high, t.low);
        zero_first = flt.zero_first;
        key = _mm512_set1_epi64(flt.band_key);
    }

    // Without a branch: in the sampled walk whether a run fills a vector
    // goes either way at random.
    static __mmask8 live_lanes(size_t left)
    {
        const __m512i iota = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm512_cmplt_epu64_mask(iota, _mm512_set1_epi64(static_cast<int64_t>(left)));
    }

    static uint64_t lane_sum(__m512i v)
    {
        alignas(64) uint64_t lanes[8];
        _mm512_store_si512(lanes, v);
        uint64_t sum = 0;
        for (uint64_t x : lanes)
            sum += x;
        return sum;
    }

    static unsigned count(__mmask8 m) { return static_cast<unsigned>(__builtin_popcount(m)); }

    void exact(__mmask8 live, __m512d s1, __m512d s2, uint64_t &a, uint64_t &b) const
    {
        const __m512d fc = _mm512_div_pd(s2, s1);
        const __mmask8 up = _mm512_mask_cmp_pd_mask(live, fc, hi, _CMP_GE_OQ);
        const __mmask8 dn = _mm512_mask_cmp_pd_mask(live & ~up, fc, lo, _CMP_LE_OQ);
        a += count(up);
        b += count(dn);
    }

    // Exact signs of s2 - high * s1 and low * s1 - s2, each against its own
    // band.
    void two_band(__mmask8 live, __m512d s1, __m512d s2, uint64_t &a, uint64_t &b) const
    {
        const __m512d r1 = _mm512_fnmadd_pd(hi, s1, s2);
        const __m512d r2 = _mm512_fmsub_pd(lo, s1, s2);
        const __m512i i1 = _mm512_castpd_si512(r1);
        const __m512i i2 = _mm512_castpd_si512(r2);
        const __m512i zero = _mm512_setzero_si512();
        // S1 = 0 (a zero count in every record) is left to the division.
        const __mmask8 no_s1 = _mm512_mask_cmp_pd_mask(live, s1, _mm512_setzero_pd(), _CMP_EQ_OQ);
        const __mmask8 amb = _mm512_mask_cmp_epi64_mask(live, i1, key, _MM_CMPINT_LE) |
                             _mm512_mask_cmp_epi64_mask(live, i2, key, _MM_CMPINT_LE) | no_s1;
        if (!amb) [[likely]] {
            const __mmask8 up = _mm512_mask_cmp_epi64_mask(live, i1, zero, _MM_CMPINT_NLT);
            const __mmask8 dn = _mm512_mask_cmp_epi64_mask(live & ~up, i2, zero, _MM_CMPINT_NLT);
            a += count(up);
            b += count(dn);
            return;
        }
        exact(live, s1, s2, a, b);
    }

    // The one-band mode counts in vector lanes, one masked add per vector, so
    // that no mask has to travel to a general register.
    using tally = lane_tally<__v8di>;

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
    void one_band(tally &t, const double *f, const double *s, size_t len, __m512d bf,
                  __m512d bs) const
    {
        const __m512i one = _mm512_set1_epi64(1);
        const __m512i zero = _mm512_setzero_si512();
        __m512i n_ext = t.n_ext, n_up = t.n_up;
        size_t i = 0;
        do {
            const __mmask8 live = live_lanes(len - i);
            const __m512d s1 = _mm512_maskz_add_pd(live, bf, _mm512_loadu_pd(f + i));
            const __m512d s2 = _mm512_maskz_add_pd(live, bs, _mm512_loadu_pd(s + i));
            const __m512d r1 = _mm512_fnmadd_pd(hi, s1, s2);
            const __m512d r2 = _mm512_fmsub_pd(lo, s1, s2);
            const __m512i mx = _mm512_castpd_si512(_mm512_maskz_max_pd(live, r1, r2));
            __mmask8 open = _mm512_mask_cmp_epi64_mask(live, mx, key, _MM_CMPINT_LE);
            if constexpr (ZeroFirst)
                open |= _mm512_mask_cmp_pd_mask(live, s1, _mm512_setzero_pd(), _CMP_EQ_OQ);
            if (!open) [[likely]] {
                const __mmask8 ext = _mm512_mask_cmp_epi64_mask(live, mx, zero, _MM_CMPINT_NLT);
                n_ext = _mm512_mask_add_epi64(n_ext, ext, n_ext, one);
                if constexpr (Split) {
                    const __mmask8 up = _mm512_mask_cmp_epi64_mask(ext, _mm512_castpd_si512(r1),
                                                                   zero, _MM_CMPINT_NLT);
                    n_up = _mm512_mask_add_epi64(n_up, up, n_up, one);
                }
            } else {
                exact(live, s1, s2, t.above, t.below);
            }
            i += 8;
        } while (i < len);
        t.n_ext = n_ext;
        t.n_up = n_up;
    }

    void run(tally &t, const double *f, const double *s, size_t len, double base_f, double base_s)
    {
        const __m512d bf = _mm512_set1_pd(base_f);
        const __m512d bs = _mm512_set1_pd(base_s);
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
            const __mmask8 live = live_lanes(len - i);
            const __m512d s1 = _mm512_maskz_add_pd(live, bf, _mm512_loadu_pd(f + i));
            const __m512d s2 = _mm512_maskz_add_pd(live, bs, _mm512_loadu_pd(s + i));
            if constexpr (M == fc_mode::unit) {
                const __mmask8 up = _mm512_mask_cmp_pd_mask(live, s2, s1, _CMP_GE_OQ);
                t.above += count(up);
                t.below += count(live & ~up);
            } else if constexpr (M == fc_mode::two_band) {
                two_band(live, s1, s2, t.above, t.below);
            } else {
                exact(live, s1, s2, t.above, t.below);
            }
            i += 8;
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

PVALUE_DEFINE_FILTERED_COUNT_TABLE(avx512_count_table, tail_avx512);
