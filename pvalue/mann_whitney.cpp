#include <cmath>

#include "pvalue.h"

namespace {
// The double nearest to the square root of 2.
constexpr double sqrt2 = 1.4142135623730951;
}  // namespace

double mann_whitney_pval(const double *counts1, const double *counts2, size_t len1, size_t len2)
{
    if (len1 < mann_whitney_min_reps || len2 < mann_whitney_min_reps)
        return 1.0;
    double u = 0.0;
    for (size_t i = 0; i < len1; ++i)
        for (size_t j = 0; j < len2; ++j) {
            if (counts1[i] > counts2[j])
                u += 1.0;
            else if (!(counts1[i] < counts2[j]))
                u += 0.5;
        }
    const double n = static_cast<double>(len1 * len2);
    const double umin = u < n - u ? u : n - u;
    const double sigma = std::sqrt((static_cast<double>(len1 + len2) + 1.0) * n / 12.0);
    const double z = (umin - n * 0.5) / sigma;
    return ((std::erf(z / sqrt2) + 1.0) * 0.5) * 2.0;
}
