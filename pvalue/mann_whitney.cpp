#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pvalue.h"
#include "vp_alloc.h"

namespace {

// The double nearest to the square root of 2.
constexpr double sqrt2 = 1.4142135623730951;

// U as the rule defines it: for every i and j, 1 when counts1[i] is greater,
// 0 when it is smaller, 0.5 otherwise (equal, or not comparable).  Every
// partial sum is a multiple of 0.5 far below 2^52, so U is exact whatever
// the order of the additions.
double u_by_pairs(const double *counts1, const double *counts2, size_t len1, size_t len2)
{
    double u = 0.0;
    for (size_t i = 0; i < len1; ++i)
        for (size_t j = 0; j < len2; ++j) {
            if (counts1[i] > counts2[j])
                u += 1.0;
            else if (!(counts1[i] < counts2[j]))
                u += 0.5;
        }
    return u;
}

// The same U from the sorted second condition: for each counts1[i], the
// values below it count 1 and those equal to it 0.5; a NaN on either side
// compares neither way and counts 0.5 with everything.  Twice U is a whole
// number, so it is counted exactly as one.
double u_by_ranks(const double *counts1, const double *counts2, size_t len1, size_t len2,
                  double *sorted)
{
    size_t m = 0;
    for (size_t j = 0; j < len2; ++j)
        if (!std::isnan(counts2[j]))
            sorted[m++] = counts2[j];
    const uint64_t nan2 = len2 - m;
    std::sort(sorted, sorted + m);
    uint64_t twice_u = 0;
    for (size_t i = 0; i < len1; ++i) {
        const double x = counts1[i];
        if (std::isnan(x)) {
            twice_u += len2;
            continue;
        }
        double *below = std::lower_bound(sorted, sorted + m, x);
        double *not_above = std::upper_bound(below, sorted + m, x);
        twice_u += 2 * static_cast<uint64_t>(below - sorted) +
                   static_cast<uint64_t>(not_above - below) + nan2;
    }
    return static_cast<double>(twice_u) * 0.5;
}

}  // namespace

double mann_whitney_pval(const double *counts1, const double *counts2, size_t len1, size_t len2)
{
    if (len1 < mann_whitney_min_reps || len2 < mann_whitney_min_reps)
        return 1.0;
    // A few hundred pairs are counted one by one faster than sorted; so is
    // everything without memory for the sorted copy.  The same U either way.
    constexpr size_t pairs_by_ranks = 400;
    double *sorted = len1 * len2 >= pairs_by_ranks
                         ? static_cast<double *>(vp_malloc(len2, sizeof(double)))
                         : nullptr;
    const double u = sorted ? u_by_ranks(counts1, counts2, len1, len2, sorted)
                            : u_by_pairs(counts1, counts2, len1, len2);
    vp_free(sorted);
    const double n = static_cast<double>(len1 * len2);
    const double umin = u < n - u ? u : n - u;
    const double sigma = std::sqrt((static_cast<double>(len1 + len2) + 1.0) * n / 12.0);
    const double z = (umin - n * 0.5) / sigma;
    return ((std::erf(z / sqrt2) + 1.0) * 0.5) * 2.0;
}

double mann_whitney_u_by_pairs(const double *counts1, const double *counts2, size_t len1,
                               size_t len2)
{
    return u_by_pairs(counts1, counts2, len1, len2);
}
