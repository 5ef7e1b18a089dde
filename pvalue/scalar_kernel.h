#ifndef PVALUE_SCALAR_KERNEL_H
#define PVALUE_SCALAR_KERNEL_H

// The run kernel of the baseline instruction set: the innermost loop in plain
// C++, one addition each and one division per combination, compared with
// the doubles either side of the observed ratio.  A quotient that rounds onto
// them may lie either side of the ratio itself, so a run holding one is
// counted again with the exact comparison; the tests' kernel too.

#include <cstddef>
#include <cstdint>

#include "exact_ratio.h"
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

    observed_ratio ratio;
    ratio_bounds b;

    explicit scalar_kernel(const kernel_setup &k) : ratio(k.ratio), b(k.bounds) {}

    void run(tally &t, const double *f, const double *s, size_t len, double base_f,
             double base_s) const
    {
        uint64_t ext = t.ext, up = t.up, open = 0;
        for (size_t i = 0; i < len; ++i) {
            const double fc = (base_s + s[i]) / (base_f + f[i]);
            const uint64_t is_up = fc > b.above_hi;
            up += is_up;
            ext += is_up | static_cast<uint64_t>(fc < b.below_lo);
            open |= static_cast<uint64_t>(fc >= b.above_lo) & static_cast<uint64_t>(fc <= b.above_hi);
            open |= static_cast<uint64_t>(fc >= b.below_lo) & static_cast<uint64_t>(fc <= b.below_hi);
        }
        if (open) [[unlikely]] {
            ext = t.ext;
            up = t.up;
            for (size_t i = 0; i < len; ++i) {
                const fc_class c = classify_fc(base_f + f[i], base_s + s[i], ratio);
                up += c == fc_class::above;
                ext += c != fc_class::neither;
            }
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
