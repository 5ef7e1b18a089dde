#ifndef PVALUE_KERNELS_TABLE_H
#define PVALUE_KERNELS_TABLE_H

// One instruction set's counting table, built from its Tail.

#include "count_kernels.h"
#include "production_rng.h"

namespace {

template <unsigned K, class Tail>
uint64_t member(const count_pair *list, uint64_t n, uint64_t *fcs_sampled, double observed_fc)
{
    if constexpr (K <= 4) {
        return exhaustive_member<K, Tail>(list, n, fcs_sampled, observed_fc);
    } else {
        production_rng rng;
        return sampled_member_for<K, Tail>(list, n, fcs_sampled, observed_fc, rng);
    }
}

}  // namespace

#define PVALUE_DEFINE_COUNT_TABLE(name, Tail)                                              \
    const count_fn name[count_table_size] = {                                             \
        member<2, Tail>, member<3, Tail>, member<4, Tail>,  member<5, Tail>,             \
        member<6, Tail>, member<7, Tail>, member<8, Tail>,  member<9, Tail>,             \
        member<10, Tail>, member<11, Tail>, member<12, Tail>,                             \
    }

#endif
