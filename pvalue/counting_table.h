#ifndef PVALUE_COUNTING_TABLE_H
#define PVALUE_COUNTING_TABLE_H

// One instruction set's counting table: the eleven members, from its run
// kernel, a template over the mode of the division-free test.  The mode is
// chosen once per call, from the list and the observed ratio, and
// each mode has its own instance of the walks.  Four pairs are counted as
// pairs of pairs wherever that applies.

#include <cstdint>
#include <utility>

#include "fc_filter.h"
#include "kernels.h"
#include "split_count.h"
#include "walks.h"

namespace {

template <unsigned K, run_kernel Kernel>
uint64_t count_with(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                    const kernel_setup &setup)
{
    if constexpr (K <= 4) {
        return exhaustive_count<K, Kernel>(list, n, fcs_sampled, setup);
    } else {
        process_generator generator;
        return sampled_count_for<K, Kernel>(list, n, fcs_sampled, setup, generator);
    }
}

template <unsigned K>
bool counted_by_split(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                      const observed_ratio &observed, uint64_t &result)
{
    split_counts c;
    if (!split_count_4(list, n, observed, Debug, c))
        return false;
    if (Debug)
        print_count_trace(observed.fc, c.above, 1.0 / observed.fc, c.below);
    *fcs_sampled = vp_n_choose_k(n, K);
    result = c.above + c.below;
    return true;
}

template <template <fc_mode> class Kernel, unsigned K>
uint64_t member(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                const observed_ratio &observed)
{
    if constexpr (K == 4)
        if (uint64_t r; counted_by_split<K>(list, n, fcs_sampled, observed, r))
            return r;
    kernel_setup setup{observed, bounds_of(observed), fc_filter{}, Debug};
    setup.filter = make_fc_filter(list, n, K, setup.bounds.above_hi, setup.bounds.below_lo,
                                  observed.num, observed.den);
    // Every kernel has the unit and products modes; the others only where
    // filtered.
    if (setup.filter.mode == fc_mode::unit)
        return count_with<K, Kernel<fc_mode::unit>>(list, n, fcs_sampled, setup);
    if (setup.filter.mode == fc_mode::products)
        return count_with<K, Kernel<fc_mode::products>>(list, n, fcs_sampled, setup);
    if constexpr (Kernel<fc_mode::division>::filtered) {
        switch (setup.filter.mode) {
        case fc_mode::unit:
        case fc_mode::products: break;
        case fc_mode::one_band:
            return count_with<K, Kernel<fc_mode::one_band>>(list, n, fcs_sampled, setup);
        case fc_mode::two_band:
            return count_with<K, Kernel<fc_mode::two_band>>(list, n, fcs_sampled, setup);
        case fc_mode::division: break;
        }
    }
    return count_with<K, Kernel<fc_mode::division>>(list, n, fcs_sampled, setup);
}

// The table of members 2 to 12 of one kernel.
template <template <fc_mode> class Kernel>
constexpr count_table make_counting_table()
{
    return []<size_t... I>(std::index_sequence<I...>) {
        return count_table{&member<Kernel, static_cast<unsigned>(I) + 2>...};
    }(std::make_index_sequence<count_table_size>{});
}

}  // namespace

#endif
