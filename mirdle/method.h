#ifndef MIRDLE_METHOD_H
#define MIRDLE_METHOD_H

// Which P-value method a pair of conditions gets, and how its report row is
// made of numbers: the policy and the statistics, apart from their format.

#include <cstddef>

enum class pair_method {
    near_exact,    // near_exact_pval with `pairs` pairs
    mann_whitney,  // mann_whitney_pval on both whole arrays
    limit,         // --near-exact beyond 12 replicates: the run ends at this pair
};

struct pair_plan {
    pair_method method;
    size_t pairs;  // near-exact only
};

// The method for conditions i < j with reps_i and reps_j replicates.  The
// near-exact method takes the first condition's count, or the second's when
// that is smaller, so that it never reads past an array.
pair_plan plan_pair(size_t reps_i, size_t reps_j, bool near_exact);

// Whether a near-exact pair of this many pairs draws from the process-wide
// generator (the sampled counting), so that its place in the sequence of
// draws depends on every such pair before it.
bool plan_draws(const pair_plan &plan);

// The place of the first NaN among a condition's counts as the row gives
// them, or count when there is none.
size_t first_nan(const double *counts, size_t count);

// Whether the counts that the pair's P-value reads hold a NaN (given the
// first_nan of each condition).  Nothing compares with a NaN, so such a pair
// has no P-value: the report gives it NaN, never a P-value of 0.  A pair is
// judged on the counts as the row gives them and on the counts it reads,
// since a NaN can turn the zeros an earlier pair replaces into NaN, or hide
// behind the ones it sets to 1.  The method still runs, so that every later
// pair sees the draws and the replaced zeros it would otherwise.
bool pair_reads_nan(const pair_plan &plan, size_t first_nan_i, size_t first_nan_j,
                    size_t reps_i, size_t reps_j);

// MNC: the mean of a condition's replicates.
inline double mean_of(double sum, size_t reps)
{
    return sum / static_cast<double>(reps);
}

// SD/C: 0 for a mean of exactly 0 (a NaN mean counts as non-zero).
inline double sd_over_mean(double sd, double mean)
{
    return mean == 0.0 ? 0.0 : sd / mean;
}

#endif
