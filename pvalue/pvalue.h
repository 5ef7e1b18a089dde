#ifndef PVALUE_H
#define PVALUE_H

#include <cstddef>
#include <cstdint>

// The P-value library shared by mirdle and pvalue-sim.

// An ordered pair of two pooled counts.  The fold change of a set of pairs is
// (sum of second) / (sum of first).  The layout (16 bytes, no padding) is
// relied on by the shuffle and the kernels.
struct count_pair {
    double first;
    double second;
};
static_assert(sizeof(count_pair) == 16);

// The observed fold change as the counting rule compares with it: the exact
// ratio num / den of the two conditions' sums, the larger ratio of the two
// for counts that are not negative, and fc, the double the trace shows.
struct observed_ratio {
    double num;
    double den;
    double fc;
};

// From the sums of the two conditions (index order): sum2 / sum1, or sum1 /
// sum2 when the quotient sum2 / sum1 is below 1; fc is that quotient or the
// reciprocal of that very quotient.  Swapping the sums gives the same ratio
// (for sums that are not negative).
observed_ratio observed_ratio_of(double sum1, double sum2);

// The library's trace switch: when true, every step writes its trace to
// standard output and five counting passes are averaged for 5 or more pairs.
// Each program that links the library defines it.
extern bool Debug;

// Largest replicate count of the near-exact method.
inline constexpr size_t near_exact_max_pairs = 12;
// Smallest replicate count per condition of the Mann-Whitney method.
inline constexpr size_t mann_whitney_min_reps = 8;

// Replaces every zero of counts1 by one thousandth of counts2's mean and every
// zero of counts2 by one thousandth of counts1's mean (means from the sums
// before any change); when both sums are zero every entry becomes 1.0.
void adjust_zero_counts(double *counts1, double *counts2, size_t pairs);

// Where the sampled counting (5 to 12 pairs) draws from.
enum class draw_source {
    // The process-wide sequence, continued from call to call: a P-value
    // depends on every sampled call before it.
    run,
    // A stream of the call's own, the process-wide generator's algorithm
    // seeded with the low 32 bits of the shuffle's content hash of the pair
    // list (vp_shuffle): a P-value depends on the pooled counts and the
    // observed ratio alone.
    feature,
};

// Near-exact P-value of the fold change of counts2 over counts1, using the
// first `pairs` entries of each (zeros in them are replaced in place).
// Returns 1.0 where the method does not apply: more than 12 pairs (with a
// message on standard error, arrays untouched), one pair (untouched, no
// trace), or both adjusted sums zero.  Ends the process with status 69 when
// memory is exhausted and 70 if the pair list comes out the wrong size.
double near_exact_pval(double *counts1, double *counts2, size_t pairs,
                       draw_source draws = draw_source::run);

// What kept near_exact_pval from a P-value, for callers that report it in an
// order of their own (rows computed in parallel, written in input order).
enum class near_exact_fault {
    none,
    too_many_pairs,       // more than 12 pairs: 1.0, the arrays untouched
    no_memory_pair_list,  // memory exhausted
    no_memory_pooled,
};

// near_exact_pval without a word on standard error and without ending the
// process: the P-value (1.0 after a fault), and in *fault what happened.
double near_exact_pval_checked(double *counts1, double *counts2, size_t pairs,
                               near_exact_fault *fault, draw_source draws = draw_source::run);

// The line near_exact_pval writes on standard error for a fault ("" for none);
// it ends the process with status 69 after the memory faults.
const char *near_exact_fault_message(near_exact_fault fault);

// Whether near_exact_pval with this many pairs replaces zeros in its arrays.
bool near_exact_adjusts(size_t pairs);

// Mann-Whitney U P-value, normal approximation without continuity or tie
// correction; 1.0 when either length is below 8.  Reads only.
double mann_whitney_pval(const double *counts1, const double *counts2, size_t len1, size_t len2);

// U of the Mann-Whitney method counted pair by pair, as the rule states it:
// the reference that the method's own counting by ranks is tested against.
double mann_whitney_u_by_pairs(const double *counts1, const double *counts2, size_t len1,
                               size_t len2);

// Mean of the pass P-values of the counting function for `pairs` (one pass for
// up to 4 pairs or without Debug, five with Debug from 5 pairs on).
// Exhaustive passes (2 to 4 pairs) give extreme / examined, exact; sampled
// ones (extreme + 1) / (sampled + 1), which is never 0.
double near_exact_pval_passes(const count_pair *pair_list, size_t list_len, size_t pairs,
                              const observed_ratio &observed);

// A member of the counting family: the number of examined combinations of
// K list positions whose fold change S2 / S1 (list-order sums) is, exactly,
// at least R = observed.num / observed.den or at most 1 / R; *fcs_sampled
// receives the number examined.  Members never allocate and never change the
// list.
using count_fn = uint64_t (*)(const count_pair *pair_list, uint64_t list_len,
                              uint64_t *fcs_sampled, const observed_ratio &observed);

uint64_t count_extreme_fcs_2(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_3(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_4(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_5(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_6(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_7(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_8(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_9(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_10(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_11(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);
uint64_t count_extreme_fcs_12(const count_pair *, uint64_t, uint64_t *, const observed_ratio &);

// The counting table: entry pairs - 2 serves `pairs` from 2 to 12.
inline constexpr size_t count_table_size = 11;
extern const count_fn count_extreme_fcs_table[count_table_size];

// Calls the table entry for `pairs` (2 to 12) and returns its result.
uint64_t count_extreme_fcs(const count_pair *pair_list, size_t list_len, size_t pairs,
                           uint64_t *fcs_sampled, const observed_ratio &observed);

// Writes the counting trace line of one call (used by every member).
void print_count_trace(double observed_fc, uint64_t above, double low, uint64_t below);

#endif
