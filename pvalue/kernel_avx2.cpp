// Built with -mavx2 -mfma -mpopcnt.  Only reached when the CPU reports AVX2,
// FMA and POPCNT.
#include <immintrin.h>

#include "counting_table.h"
#include "kernels.h"
#include "vector_kernel.h"

namespace {

// Four combinations at a time; a lane mask is all ones in a live lane.
struct avx2_ops {
    using vec = __m256d;
    using lanes = __m256i;
    // A plain vector type: the __m256i typedef carries an attribute that a
    // template argument drops.
    using counts = __v4di;
    using band = __m256i;  // band key + 1, so that one compare tells "<= key"
    static constexpr size_t width = 4;

    static vec splat(double x) { return _mm256_set1_pd(x); }
    static band band_of(int64_t key) { return _mm256_set1_epi64x(key + 1); }

    // All ones in the lanes below `left`.
    static lanes live(size_t left)
    {
        alignas(32) static const int64_t masks[5][4] = {
            {0, 0, 0, 0}, {-1, 0, 0, 0}, {-1, -1, 0, 0}, {-1, -1, -1, 0}, {-1, -1, -1, -1}};
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(masks[left < 4 ? left : 4]));
    }
    // base + p[0..3]; the lanes past the run add whatever the padded array
    // holds there, and are not counted.
    static vec add(lanes, vec base, const double *p) { return _mm256_add_pd(base, _mm256_loadu_pd(p)); }
    static vec div(vec a, vec b) { return _mm256_div_pd(a, b); }
    static vec mul(vec a, vec b) { return _mm256_mul_pd(a, b); }
    static vec fnmadd(vec a, vec b, vec c) { return _mm256_fnmadd_pd(a, b, c); }
    static vec fmsub(vec a, vec b, vec c) { return _mm256_fmsub_pd(a, b, c); }
    static vec max(vec a, vec b) { return _mm256_max_pd(a, b); }

    static lanes ge(vec a, vec b) { return _mm256_castpd_si256(_mm256_cmp_pd(a, b, _CMP_GE_OQ)); }
    static lanes le(vec a, vec b) { return _mm256_castpd_si256(_mm256_cmp_pd(a, b, _CMP_LE_OQ)); }
    static lanes eq(vec a, vec b) { return _mm256_castpd_si256(_mm256_cmp_pd(a, b, _CMP_EQ_OQ)); }
    static lanes gt(vec a, vec b) { return _mm256_castpd_si256(_mm256_cmp_pd(a, b, _CMP_GT_OQ)); }
    static lanes lt(vec a, vec b) { return _mm256_castpd_si256(_mm256_cmp_pd(a, b, _CMP_LT_OQ)); }
    static void store(double *p, vec a) { _mm256_storeu_pd(p, a); }
    static lanes is_zero(vec a)
    {
        return _mm256_castpd_si256(_mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_EQ_OQ));
    }
    // As signed 64-bit integers, the doubles at or below the key are those in
    // the band (fc_filter.h), those above -1 the ones of sign 0.
    static lanes in_band(vec r, band key) { return _mm256_cmpgt_epi64(key, _mm256_castpd_si256(r)); }
    static lanes nonneg(vec r)
    {
        return _mm256_cmpgt_epi64(_mm256_castpd_si256(r), _mm256_set1_epi64x(-1));
    }

    static lanes both(lanes a, lanes b) { return _mm256_and_si256(a, b); }
    static lanes either(lanes a, lanes b) { return _mm256_or_si256(a, b); }
    static lanes but_not(lanes a, lanes b) { return _mm256_andnot_si256(b, a); }
    static bool any(lanes a, lanes live) { return !_mm256_testz_si256(a, live); }
    static unsigned count(lanes a)
    {
        return static_cast<unsigned>(__builtin_popcount(_mm256_movemask_pd(_mm256_castsi256_pd(a))));
    }
    // A lane of a mask is all ones: subtracting it adds 1.
    static void add_ones(counts &acc, lanes m) { acc = (counts)_mm256_sub_epi64((__m256i)acc, m); }
    static uint64_t lane_sum(counts v)
    {
        alignas(32) uint64_t lanes_[4];
        _mm256_store_si256(reinterpret_cast<__m256i *>(lanes_), (__m256i)v);
        return lanes_[0] + lanes_[1] + lanes_[2] + lanes_[3];
    }
};

template <fc_mode M>
using avx2_kernel = vector_kernel<avx2_ops, M>;

}  // namespace

const count_table avx2_count_table = make_counting_table<avx2_kernel>();
