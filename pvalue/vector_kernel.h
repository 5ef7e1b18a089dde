#ifndef PVALUE_VECTOR_KERNEL_H
#define PVALUE_VECTOR_KERNEL_H

// The run kernel of the vector instruction sets, written once over their
// operations: several combinations at a time, counted by the mode of the
// call (fc_filter.h).
//   division: the IEEE quotient against the doubles either side of R and
//             1 / R, whose ordered comparisons are false for NaN;
//   unit:     R = 1: above exactly when S2 >= S1;
//   products: small whole numbers, S2 den >= num S1 and S2 num <= den S1
//             with products exact in double, counted in vector lanes;
//   two_band, one_band: the exact signs of two fused multiply-adds; one_band
//             counts in vector lanes.
// A vector with a lane the fast test leaves open is counted again exactly:
// in the exact-sign modes (a fused multiply-add in its band, S1 = 0 where
// that can happen) from error-free products, in all its lanes at once; in
// the division mode (a quotient that rounds onto R's neighbours) lane by
// lane with classify_fc.
// A vector that is not full is loaded whole from the zero-padded arrays and
// its unused lanes are not counted; an empty run still goes through once
// with nothing live, which keeps the sampled walk's deepest level free of a
// data-dependent branch.
//
// Ops, one per instruction set, supplies: vec (doubles), lanes (a lane mask,
// live lanes always the lowest), counts (one 64-bit count per lane), width,
// band (the band key in its own form), and the operations used below, each
// one instruction or two.  This header belongs to the files compiled for one
// instruction set: internal linkage throughout.

#include <cstddef>
#include <cstdint>

#include "exact_ratio.h"
#include "fc_filter.h"
#include "walks.h"

namespace {

template <class Ops, fc_mode M>
struct vector_kernel {
    using vec = typename Ops::vec;
    using lanes = typename Ops::lanes;
    using counts = typename Ops::counts;
    static constexpr size_t width = Ops::width;
    static constexpr bool filtered = true;

    // Extreme lanes, and above among them, counted in lanes by one_band; the
    // other modes count in above and below.
    struct tally {
        counts n_ext{};
        counts n_up{};
        uint64_t above = 0;
        uint64_t below = 0;
    };

    vec hi, lo;          // the smallest double >= R, the largest <= 1 / R
    vec hi_below, lo_above;  // the largest double <= R, the smallest >= 1 / R
    vec num, den;            // R = num / den
    typename Ops::band key;
    observed_ratio ratio;
    bool split;       // above and below wanted apart, not only their sum
    bool zero_first;  // S1 can be 0, which the exact signs leave open

    explicit vector_kernel(const kernel_setup &k)
        : hi(Ops::splat(k.bounds.above_hi)), lo(Ops::splat(k.bounds.below_lo)),
          hi_below(Ops::splat(k.bounds.above_lo)), lo_above(Ops::splat(k.bounds.below_hi)),
          num(Ops::splat(k.ratio.num)), den(Ops::splat(k.ratio.den)), key(Ops::band_of(k.filter.band_key)), ratio(k.ratio), split(k.split),
          zero_first(k.filter.zero_first)
    {
    }

    struct lane_counts {
        unsigned above, below;
    };

    // The rule itself for the live lanes, one at a time: for what the
    // division leaves open, whatever the values.  By value, so that the
    // tally stays in registers.
    [[gnu::noinline]] lane_counts exact(lanes live, vec s1, vec s2) const
    {
        alignas(64) double f[width], s[width];
        Ops::store(f, s1);
        Ops::store(s, s2);
        const unsigned n = Ops::count(live);
        lane_counts c{0, 0};
        for (unsigned j = 0; j < n; ++j) {
            const fc_class k = classify_fc(f[j], s[j], ratio);
            c.above += k == fc_class::above;
            c.below += k == fc_class::below;
        }
        return c;
    }

    // The rule for every lane of a vector whose values the filter took in
    // range (fc_filter.h): the signs of S2 den - num S1 and S2 num - den S1
    // from error-free products, the rounded products compared first and
    // their exact errors on a tie.  S1 = S2 = 0, the 0 / 0 that counts
    // nowhere, is taken out.
    static lanes at_least(vec a, vec b, vec c, vec d)  // a b >= c d
    {
        const vec p = Ops::mul(a, b), q = Ops::mul(c, d);
        const vec ep = Ops::fmsub(a, b, p), eq = Ops::fmsub(c, d, q);
        return Ops::either(Ops::gt(p, q), Ops::both(Ops::eq(p, q), Ops::ge(ep, eq)));
    }

    void exact_in_range(lanes live, vec s1, vec s2, tally &t) const
    {
        const lanes counted = Ops::but_not(live, Ops::both(Ops::is_zero(s1), Ops::is_zero(s2)));
        const lanes up = Ops::both(at_least(s2, den, num, s1), counted);
        const lanes dn = Ops::but_not(Ops::both(at_least(den, s1, s2, num), counted), up);
        t.above += Ops::count(up);
        t.below += Ops::count(dn);
    }

    // Rounding keeps order: a quotient above hi is above R, one below
    // hi_below is below it; likewise lo and lo_above for 1 / R.
    void divided(lanes live, vec s1, vec s2, tally &t) const
    {
        const vec fc = Ops::div(s2, s1);
        const lanes open = Ops::either(Ops::both(Ops::ge(fc, hi_below), Ops::le(fc, hi)),
                                       Ops::both(Ops::ge(fc, lo), Ops::le(fc, lo_above)));
        if (Ops::any(open, live)) [[unlikely]] {
            const lane_counts c = exact(live, s1, s2);
            t.above += c.above;
            t.below += c.below;
            return;
        }
        const lanes up = Ops::both(Ops::gt(fc, hi), live);
        const lanes dn = Ops::but_not(Ops::both(Ops::lt(fc, lo), live), up);
        t.above += Ops::count(up);
        t.below += Ops::count(dn);
    }

    // Exact signs of s2 - high * s1 and low * s1 - s2, each against its own
    // band: a lane is >= 0 exactly when its sign bit is clear.
    void two_band(lanes live, vec s1, vec s2, tally &t) const
    {
        const vec r1 = Ops::fnmadd(hi, s1, s2);
        const vec r2 = Ops::fmsub(lo, s1, s2);
        const lanes open =
            Ops::either(Ops::either(Ops::in_band(r1, key), Ops::in_band(r2, key)), Ops::is_zero(s1));
        if (!Ops::any(open, live)) [[likely]] {
            const lanes up = Ops::both(Ops::nonneg(r1), live);
            const lanes dn = Ops::but_not(Ops::both(Ops::nonneg(r2), live), up);
            t.above += Ops::count(up);
            t.below += Ops::count(dn);
            return;
        }
        exact_in_range(live, s1, s2, t);
    }

    // The exact signs for every lane: the larger of r1 and r2 is >= 0 exactly
    // for the extreme lanes, r1 for those above.  Instantiated for the trace
    // on or off and for S1 possibly 0 or not, so that neither choice is made
    // per vector.
    template <bool Split, bool ZeroFirst>
    void one_band(tally &t, const double *f, const double *s, size_t len, vec bf, vec bs) const
    {
        counts n_ext = t.n_ext, n_up = t.n_up;
        size_t i = 0;
        do {
            const lanes live = Ops::live(len - i);
            const vec s1 = Ops::add(live, bf, f + i);
            const vec s2 = Ops::add(live, bs, s + i);
            const vec r1 = Ops::fnmadd(hi, s1, s2);
            const vec r2 = Ops::fmsub(lo, s1, s2);
            const vec mx = Ops::max(r1, r2);
            lanes open = Ops::in_band(mx, key);
            if constexpr (ZeroFirst)
                open = Ops::either(open, Ops::is_zero(s1));
            if (!Ops::any(open, live)) [[likely]] {
                const lanes ext = Ops::both(Ops::nonneg(mx), live);
                Ops::add_ones(n_ext, ext);
                if constexpr (Split)
                    Ops::add_ones(n_up, Ops::both(Ops::nonneg(r1), ext));
            } else {
                exact_in_range(live, s1, s2, t);
            }
            i += width;
        } while (i < len);
        t.n_ext = n_ext;
        t.n_up = n_up;
    }

    // The cross products for every lane: exact, so they are the rule.
    template <bool Split>
    void products(tally &t, const double *f, const double *s, size_t len, vec bf, vec bs) const
    {
        counts n_ext = t.n_ext, n_up = t.n_up;
        size_t i = 0;
        do {
            const lanes live = Ops::live(len - i);
            const vec s1 = Ops::add(live, bf, f + i);
            const vec s2 = Ops::add(live, bs, s + i);
            const lanes up = Ops::ge(Ops::mul(s2, den), Ops::mul(num, s1));
            const lanes dn = Ops::le(Ops::mul(s2, num), Ops::mul(den, s1));
            const lanes ext = Ops::both(Ops::either(up, dn), live);
            Ops::add_ones(n_ext, ext);
            if constexpr (Split)
                Ops::add_ones(n_up, Ops::both(up, ext));
            i += width;
        } while (i < len);
        t.n_ext = n_ext;
        t.n_up = n_up;
    }

    void run(tally &t, const double *f, const double *s, size_t len, double base_f,
             double base_s) const
    {
        const vec bf = Ops::splat(base_f);
        const vec bs = Ops::splat(base_s);
        if constexpr (M == fc_mode::products) {
            split ? products<true>(t, f, s, len, bf, bs) : products<false>(t, f, s, len, bf, bs);
            return;
        }
        if constexpr (M == fc_mode::one_band) {
            if (split)
                zero_first ? one_band<true, true>(t, f, s, len, bf, bs)
                           : one_band<true, false>(t, f, s, len, bf, bs);
            else
                zero_first ? one_band<false, true>(t, f, s, len, bf, bs)
                           : one_band<false, false>(t, f, s, len, bf, bs);
            return;
        }
        if constexpr (M == fc_mode::unit) {
            if (!split) {
                t.above += len;  // every combination, and only the sum is reported
                return;
            }
        }
        size_t i = 0;
        do {
            const lanes live = Ops::live(len - i);
            const vec s1 = Ops::add(live, bf, f + i);
            const vec s2 = Ops::add(live, bs, s + i);
            if constexpr (M == fc_mode::unit) {
                const lanes up = Ops::both(Ops::ge(s2, s1), live);
                t.above += Ops::count(up);
                t.below += Ops::count(Ops::but_not(live, up));
            } else if constexpr (M == fc_mode::two_band) {
                two_band(live, s1, s2, t);
            } else {
                divided(live, s1, s2, t);
            }
            i += width;
        } while (i < len);
    }

    // Unsplit (no trace), every extreme lane was counted as above: only the
    // sum is reported then.
    void finish(const tally &t, uint64_t &above, uint64_t &below) const
    {
        const uint64_t ext = Ops::lane_sum(t.n_ext), up = split ? Ops::lane_sum(t.n_up) : ext;
        above += t.above + up;
        below += t.below + (ext - up);
    }
};

}  // namespace

#endif
