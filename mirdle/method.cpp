#include "method.h"

#include <cmath>

#include "pvalue.h"

namespace {

bool holds_nan(const double *values, size_t count)
{
    for (size_t k = 0; k < count; ++k)
        if (std::isnan(values[k]))
            return true;
    return false;
}

}  // namespace

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

bool pair_reads_nan(const pair_plan &plan, const double *counts_i, const double *counts_j,
                    size_t reps_i, size_t reps_j)
{
    if (plan.method == pair_method::mann_whitney)
        return holds_nan(counts_i, reps_i) || holds_nan(counts_j, reps_j);
    return holds_nan(counts_i, plan.pairs) || holds_nan(counts_j, plan.pairs);
}
