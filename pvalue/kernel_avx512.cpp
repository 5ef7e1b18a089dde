// Built with -mavx512f -mfma -mpopcnt.  Only reached when the CPU reports
// AVX-512F, FMA and POPCNT.
#include <immintrin.h>

#include "counting_table.h"
#include "kernels.h"
#include "vector_kernel.h"

namespace {

// Eight combinations at a time; a lane mask is a mask register, and a vector
// that is not full is added up masked, its dead lanes zero.
struct avx512_ops {
    using vec = __m512d;
    using lanes = __mmask8;
    // A plain vector type: the __m512i typedef carries an attribute that a
    // template argument drops.
    using counts = __v8di;
    using band = __m512i;
    static constexpr size_t width = 8;

    static vec splat(double x) { return _mm512_set1_pd(x); }
    static band band_of(int64_t key) { return _mm512_set1_epi64(key); }

    // Without a branch: in the sampled walk whether a run fills a vector goes
    // either way at random.
    static lanes live(size_t left)
    {
        const __m512i iota = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm512_cmplt_epu64_mask(iota, _mm512_set1_epi64(static_cast<int64_t>(left)));
    }
    static vec add(lanes live, vec base, const double *p)
    {
        return _mm512_maskz_add_pd(live, base, _mm512_loadu_pd(p));
    }
    static vec div(vec a, vec b) { return _mm512_div_pd(a, b); }
    static vec mul(vec a, vec b) { return _mm512_mul_pd(a, b); }
    static vec fnmadd(vec a, vec b, vec c) { return _mm512_fnmadd_pd(a, b, c); }
    static vec fmsub(vec a, vec b, vec c) { return _mm512_fmsub_pd(a, b, c); }
    // The zero-masked form: the plain one passes GCC 12 an undefined source.
    static vec max(vec a, vec b) { return _mm512_maskz_max_pd(0xff, a, b); }

    static lanes ge(vec a, vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static lanes le(vec a, vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static lanes eq(vec a, vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static lanes gt(vec a, vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static lanes lt(vec a, vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static void store(double *p, vec a) { _mm512_storeu_pd(p, a); }
    static lanes is_zero(vec a) { return _mm512_cmp_pd_mask(a, _mm512_setzero_pd(), _CMP_EQ_OQ); }
    // As signed 64-bit integers, the doubles at or below the key are those in
    // the band (fc_filter.h), those not below 0 the ones of sign 0.
    static lanes in_band(vec r, band key)
    {
        return _mm512_cmp_epi64_mask(_mm512_castpd_si512(r), key, _MM_CMPINT_LE);
    }
    static lanes nonneg(vec r)
    {
        return _mm512_cmp_epi64_mask(_mm512_castpd_si512(r), _mm512_setzero_si512(), _MM_CMPINT_NLT);
    }

    static lanes both(lanes a, lanes b) { return a & b; }
    static lanes either(lanes a, lanes b) { return a | b; }
    static lanes but_not(lanes a, lanes b) { return a & static_cast<lanes>(~b); }
    static bool any(lanes a, lanes live) { return (a & live) != 0; }
    static unsigned count(lanes a) { return static_cast<unsigned>(__builtin_popcount(a)); }
    // One masked add per vector, so that no mask has to travel to a general
    // register.
    static void add_ones(counts &acc, lanes m)
    {
        acc = (counts)_mm512_mask_add_epi64((__m512i)acc, m, (__m512i)acc, _mm512_set1_epi64(1));
    }
    static uint64_t lane_sum(counts v)
    {
        alignas(64) uint64_t lanes_[8];
        _mm512_store_si512(lanes_, (__m512i)v);
        uint64_t sum = 0;
        for (uint64_t x : lanes_)
            sum += x;
        return sum;
    }
};

template <fc_mode M>
using avx512_kernel = vector_kernel<avx512_ops, M>;

}  // namespace

const count_table avx512_count_table = make_counting_table<avx512_kernel>();
