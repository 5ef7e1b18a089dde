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
        // Counted as extreme and above: a combination below is extreme and not
        // above.  (A form with a byte for "not above" had GCC spill it and
        // read it back as a word, which stalled every combination.)
        uint64_t ext = 0, up = 0;
        for (size_t i = 0; i < len; ++i) {
            const double fc = (base_s + s[i]) / (base_f + f[i]);
            const uint64_t is_up = fc >= high;
            up += is_up;
            ext += is_up | static_cast<uint64_t>(fc <= low);
        }
        above += up;
        below += ext - up;
    }
};

#endif
