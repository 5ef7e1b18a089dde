#ifndef SIZE_FACTORS_H
#define SIZE_FACTORS_H

// One size factor per sample (column) of a count matrix whose rows are fed
// one at a time, in as many passes over the same rows as the method needs.
// Memory depends on the number of samples only, never on the number of rows:
// medians and quantiles are selected exactly by radix passes over the
// order-preserving bit patterns of the doubles, and only a bounded number of
// candidates is ever held.
//
// Use (any source of rows: condition tables read in lock step, one matrix):
//
//     size_factor_state *s = size_factors_new(method, samples, nullptr);
//     if (s == nullptr) -> out of memory
//     while (size_factors_need_pass(s)) {
//         if (int e = size_factors_begin_pass(s)) -> fail with e
//         for every row, in the same order each pass:
//             size_factors_add_row(s, values);   // samples doubles
//         if (int e = size_factors_end_pass(s)) -> fail with e
//     }
//     const double *factors = size_factors_result(s);
//     ... divide every value of sample j by factors[j] ...
//     size_factors_free(s);
//
// Methods:
//   ratio          usable rows: every value > 0.  g_i = mean over samples of
//                  log(v_ij); factor_j = exp(median over usable rows of
//                  (log v_ij - g_i)).  An even count takes the mean of the
//                  two middle values.
//   upperquartile  usable rows: at least one value > 0.  q_j = the 0.75
//                  quantile of sample j over the usable rows, by linear
//                  interpolation between order statistics: with n rows sorted
//                  x_0 <= ... <= x_(n-1), h = 0.75 (n - 1), lo = floor(h),
//                  q = (1 - (h - lo)) x_lo + (h - lo) x_(lo+1) (x_lo when h is
//                  whole or both are equal).  factor_j = q_j / geometric mean
//                  of all q.
//   total          every row.  factor_j = (sum of sample j) / geometric mean
//                  of all sums.

#include <cstddef>
#include <cstdint>

enum size_factor_method : int {
    method_ratio,
    method_upperquartile,
    method_total,
};

// Outcomes of begin_pass, end_pass and new (through a null result).
enum size_factor_status : int {
    sf_ok = 0,
    sf_no_memory,       // scratch storage could not be allocated
    sf_no_usable_rows,  // no row qualifies for the method (no rows at all, or
                        // for ratio every row holds a zero, for upperquartile
                        // every row is all zero)
    sf_zero_factor,     // a sample's quartile or sum is 0; see
                        // size_factors_failed_sample
    sf_rows_changed,    // a later pass was fed other rows than the first
};

// Tuning of the selection, for tests: digit_bits (1 to 16) key bits are
// resolved per radix pass; a sample whose remaining candidates number at most
// collect_max (at most 2^32) is finished from a buffer of those candidates in
// one more pass.
struct size_factor_limits {
    unsigned digit_bits;
    uint64_t collect_max;
};

// The defaults for a number of samples: 16 bits and 65,536 candidates while
// both tables of all samples together stay within 32 MiB each, fewer bits (not
// below 8) beyond.
size_factor_limits size_factors_default_limits(size_t samples);

// Parses "ratio", "upperquartile" or "total" into *method; false otherwise.
bool size_factor_method_from_name(const char *name, size_factor_method *method);
const char *size_factor_method_name(size_factor_method method);

struct size_factor_state;

// A state for `samples` (>= 1) columns; limits may be null for the defaults.
// Null when memory is exhausted.
size_factor_state *size_factors_new(size_factor_method method, size_t samples,
                                    const size_factor_limits *limits);
void size_factors_free(size_factor_state *state);

// True until the factors are known.  The first pass also fixes the rows: every
// later pass must be fed the same rows in the same order.
bool size_factors_need_pass(const size_factor_state *state);

// Prepares a pass; sf_ok or sf_no_memory.
int size_factors_begin_pass(size_factor_state *state);

// One row of `samples` values, each finite and >= 0 (the caller refuses
// anything else).  Allocates nothing; a row that does not fit what the first
// pass saw is noted and reported by end_pass as sf_rows_changed.
void size_factors_add_row(size_factor_state *state, const double *values);

// Ends the pass: sf_ok (the factors may be known now, or another pass is due),
// or one of the failures above, after which the state is finished.
int size_factors_end_pass(size_factor_state *state);

// The factors, `samples` positive finite doubles, once need_pass is false
// after a pass that ended with sf_ok.
const double *size_factors_result(const size_factor_state *state);

// Rows the method used (known after the first pass).
uint64_t size_factors_usable_rows(const size_factor_state *state);

// After sf_zero_factor: the first sample (from 0) whose quartile or sum is 0.
size_t size_factors_failed_sample(const size_factor_state *state);

// Geometric mean of count (>= 1) positive values.
double geometric_mean(const double *values, size_t count);

// Conditions whose factors differ by more than this spread are warned of by
// both normalize and split --normalize.
constexpr double size_factor_spread_warning = 1.5;

// For samples grouped into consecutive groups of group_sizes[g] (each >= 1)
// samples: the largest ratio between the geometric means of the factors of
// two groups, with the group of the larger mean in *high and that of the
// smaller in *low.  1 for a single group.
double size_factor_spread(const double *factors, const size_t *group_sizes, size_t groups,
                          size_t *high, size_t *low);

#endif
