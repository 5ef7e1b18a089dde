#ifndef PVALUE_SPLIT_COUNT_H
#define PVALUE_SPLIT_COUNT_H

// Exhaustive counting of four records per combination without visiting each
// of the combinations: every combination of four positions is two disjoint
// pairs of positions in three ways, so the combinations are counted from the
// 1,540 pairs of a 56-record list, sorted, instead of from its 367,290
// combinations.  The counts are exactly those of the walk: what a combination
// counts as is decided by a proven error bound where that is possible and by
// the rule itself (list-order sums, compared exactly) where it is not.  The
// proof is in split_count.cpp.

#include <cstdint>

#include "pvalue.h"

struct split_counts {
    uint64_t above = 0;
    uint64_t below = 0;
    // Combinations (counted once per way of splitting them) that the bound
    // could not settle and the rule decided.
    uint64_t settled_by_rule = 0;
    // Counted with exact keys (small whole numbers), which need no bound.
    bool exact_keys = false;
};

// Counts the combinations of four of the n records whose fold change is >=
// R = r.num / r.den (above) or, failing that, <= 1 / R (below), exactly as
// the counting rule does.  Returns false, having counted nothing, when the
// call is outside what the bound covers: fewer than 4 or more than 64
// records, a list that is not closed under swapping first and second
// (near_exact_pval's always is), a record value, num or den that is
// negative, -0, not finite or outside [2^-400, 2^400] (+0 is fine; den must
// not be 0), R below 1 or above 2^100, or ties too many to settle one by one.
// With split false only the sum above + below is meaningful.
bool split_count_4(const count_pair *list, uint64_t n, const observed_ratio &r, bool split,
                   split_counts &out);

#endif
