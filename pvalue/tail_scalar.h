#ifndef PVALUE_TAIL_SCALAR_H
#define PVALUE_TAIL_SCALAR_H

#include <cstddef>
#include <cstdint>

// The innermost loop in plain C++: one addition each, one division and at
// most two comparisons per combination.
struct tail_scalar {
    static void run(const double *f, const double *s, size_t len, double base_f, double base_s,
                    double high, double low, uint64_t &above, uint64_t &below)
    {
        uint64_t a = 0, b = 0;
        for (size_t i = 0; i < len; ++i) {
            double fc = (base_s + s[i]) / (base_f + f[i]);
            bool up = fc >= high;
            a += up;
            b += !up & (fc <= low);
        }
        above += a;
        below += b;
    }
};

#endif
