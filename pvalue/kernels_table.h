#ifndef PVALUE_KERNELS_TABLE_H
#define PVALUE_KERNELS_TABLE_H

// One instruction set's counting table, built from its Tail.

#include "count_kernels.h"
#include "fc_filter.h"
#include "production_rng.h"
#include "split_count.h"

namespace {

// Four pairs are counted as pairs of pairs wherever that applies.
template <unsigned K>
bool counted_by_split(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                      double observed_fc, uint64_t &result)
{
    if constexpr (K == 4) {
        split_counts c;
        if (!split_count_4(list, n, observed_fc, Debug, c))
            return false;
        if (Debug)
            print_count_trace(observed_fc, c.above, 1.0 / observed_fc, c.below);
        *fcs_sampled = vp_n_choose_k(n, K);
        result = c.above + c.below;
        return true;
    } else {
        (void)list, (void)n, (void)fcs_sampled, (void)observed_fc, (void)result;
        return false;
    }
}

template <unsigned K, class Tail>
uint64_t member(const count_pair *list, uint64_t n, uint64_t *fcs_sampled, double observed_fc)
{
    if (uint64_t r; counted_by_split<K>(list, n, fcs_sampled, observed_fc, r))
        return r;
    if constexpr (K <= 4) {
        return exhaustive_member<K, Tail>(list, n, fcs_sampled, observed_fc);
    } else {
        production_rng rng;
        return sampled_member_for<K, Tail>(list, n, fcs_sampled, observed_fc, rng);
    }
}

// For a Tail template over fc_mode: the mode is chosen once per call from the
// list and the observed fold change, and each mode has its own instance.
template <unsigned K, template <fc_mode> class Tail>
uint64_t filtered_member(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                         double observed_fc)
{
    if (uint64_t r; counted_by_split<K>(list, n, fcs_sampled, observed_fc, r))
        return r;
    switch (make_fc_filter(list, n, K, observed_fc, 1.0 / observed_fc).mode) {
    case fc_mode::unit: return member<K, Tail<fc_mode::unit>>(list, n, fcs_sampled, observed_fc);
    case fc_mode::one_band: return member<K, Tail<fc_mode::one_band>>(list, n, fcs_sampled, observed_fc);
    case fc_mode::two_band: return member<K, Tail<fc_mode::two_band>>(list, n, fcs_sampled, observed_fc);
    case fc_mode::division: break;
    }
    return member<K, Tail<fc_mode::division>>(list, n, fcs_sampled, observed_fc);
}

}  // namespace

#define PVALUE_DEFINE_FILTERED_COUNT_TABLE(name, Tail)                                     \
    const count_fn name[count_table_size] = {                                             \
        filtered_member<2, Tail>,  filtered_member<3, Tail>,  filtered_member<4, Tail>,   \
        filtered_member<5, Tail>,  filtered_member<6, Tail>,  filtered_member<7, Tail>,   \
        filtered_member<8, Tail>,  filtered_member<9, Tail>,  filtered_member<10, Tail>,  \
        filtered_member<11, Tail>, filtered_member<12, Tail>,                             \
    }

#define PVALUE_DEFINE_COUNT_TABLE(name, Tail)                                              \
    const count_fn name[count_table_size] = {                                             \
        member<2, Tail>, member<3, Tail>, member<4, Tail>,  member<5, Tail>,             \
        member<6, Tail>, member<7, Tail>, member<8, Tail>,  member<9, Tail>,             \
        member<10, Tail>, member<11, Tail>, member<12, Tail>,                             \
    }

#endif
