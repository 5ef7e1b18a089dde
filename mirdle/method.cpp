#include "method.h"

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
