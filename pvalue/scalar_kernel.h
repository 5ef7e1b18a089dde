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

// Only the unit mode (R = 1: above exactly when S2 >= S1, fc_filter.h), the
// products mode (exact cross products) and the division; the others need
// fused multiply-adds.
template <fc_mode M>
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
        if constexpr (M == fc_mode::unit) {
            uint64_t up = t.up;
            for (size_t i = 0; i < len; ++i)
                up += (base_s + s[i]) >= (base_f + f[i]);
            t.up = up;
            t.ext += len;
            return;
        }
        if constexpr (M == fc_mode::products) {
            const double num = ratio.num, den = ratio.den;
            uint64_t ext = t.ext, up = t.up;
            for (size_t i = 0; i < len; ++i) {
                const double s1 = base_f + f[i], s2 = base_s + s[i];
                const uint64_t is_up = s2 * den >= num * s1;
                up += is_up;
                ext += is_up | static_cast<uint64_t>(s2 * num <= den * s1);
            }
            t.ext = ext;
            t.up = up;
            return;
        }
        uint64_t ext = t.ext, up = t.up;
        for (size_t i = 0; i < len; ++i) {
            const double s1 = base_f + f[i], s2 = base_s + s[i], fc = s2 / s1;
            uint64_t is_up = fc > b.above_hi, is_ext = is_up | (fc < b.below_lo);
            // A quotient that rounded onto a neighbour of R or 1 / R may lie
            // either side: the exact comparison settles it.
            if ((fc >= b.above_lo && fc <= b.above_hi) || (fc >= b.below_lo && fc <= b.below_hi))
                [[unlikely]] {
                const fc_class c = classify_fc(s1, s2, ratio);
                is_up = c == fc_class::above;
                is_ext = c != fc_class::neither;
            }
            up += is_up;
            ext += is_ext;
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
