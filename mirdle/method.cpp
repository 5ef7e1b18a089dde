#include "method.h"

#include <algorithm>
#include <cmath>

#include "pvalue.h"


pair_plan plan_pair(size_t reps_i, size_t reps_j, bool near_exact)
{
    const size_t pairs = reps_i <= near_exact_max_pairs && reps_j < reps_i ? reps_j : reps_i;
    if (near_exact)
        return {reps_i > near_exact_max_pairs ? pair_method::limit : pair_method::near_exact, pairs};
    if (reps_i < mann_whitney_min_reps || reps_j < mann_whitney_min_reps)
        return {pair_method::near_exact, pairs};
    return {pair_method::mann_whitney, 0};
}

bool plan_draws(const pair_plan &plan)
{
    // Up to 4 pairs every combination is counted; 5 to 12 are sampled.
    return plan.method == pair_method::near_exact && plan.pairs >= 5 &&
           plan.pairs <= near_exact_max_pairs;
}

size_t first_nan(const double *counts, size_t count)
{
    size_t k = 0;
    while (k < count && !std::isnan(counts[k]))
        ++k;
    return k;
}

bool pair_reads_nan(const pair_plan &plan, size_t first_nan_i, size_t first_nan_j,
                    size_t reps_i, size_t reps_j)
{
    if (plan.method == pair_method::mann_whitney)
        return first_nan_i < reps_i || first_nan_j < reps_j;
    // A pair beyond the library's limit reads no more than each array holds.
    return first_nan_i < std::min(plan.pairs, reps_i) || first_nan_j < std::min(plan.pairs, reps_j);
}
