#ifndef PVALUE_SCALAR_KERNEL_H
#define PVALUE_SCALAR_KERNEL_H

// The run kernel of the baseline instruction set: the innermost loop in plain
// C++, one addition each, one division and at most two comparisons per
// combination.  The counting rule as it stands; the tests' kernel too.

#include <cstddef>
#include <cstdint>

#include "fc_filter.h"
#include "walks.h"

namespace {

template <fc_mode>
struct scalar_kernel {
    static constexpr bool filtered = false;

    // Counted as extreme and above: a combination below is extreme and not
    // above.  (A form with a byte for "not above" had GCC spill it and read
    // it back as a word, which stalled every combination.)
    struct tally {
        uint64_t ext = 0;
        uint64_t up = 0;
    };

    double high, low;

    explicit scalar_kernel(const kernel_setup &k) : high(k.high), low(k.low) {}

    void run(tally &t, const double *f, const double *s, size_t len, double base_f,
             double base_s) const
    {
        uint64_t ext = t.ext, up = t.up;
        for (size_t i = 0; i < len; ++i) {
            const double fc = (base_s + s[i]) / (base_f + f[i]);
            const uint64_t is_up = fc >= high;
            up += is_up;
            ext += is_up | static_cast<uint64_t>(fc <= low);
        }
        t.ext = ext;
        t.up = up;
    }

    void finish(const tally &t, uint64_t &above, uint64_t &below) const
    {
        above += t.up;
        below += t.ext - t.up;
    }
};

}  // namespace

#endif
