#ifndef PVALUE_LANE_TALLY_H
#define PVALUE_LANE_TALLY_H

// What the vector kernels share around their one-band loops.

#include <cstddef>
#include <cstdint>

#include "fc_filter.h"

namespace {

// The counts of a walk whose kernel counts the exact-sign lanes in vector
// lanes V (extreme, and above among them); the exact tests' lanes count in
// above and below.  V is a plain vector type (__v4di, __v8di): the __m256i
// and __m512i typedefs carry an attribute that a template argument drops.
template <class V>
struct lane_tally {
    V n_ext{};
    V n_up{};
    uint64_t above = 0;
    uint64_t below = 0;
};

// Adds what a tally holds to above and below.  Unsplit (no trace), every
// extreme lane was counted as above: only the sum is reported then.
template <class V, class LaneSum>
void finish_lanes(const lane_tally<V> &t, bool split, LaneSum lane_sum, uint64_t &above,
                  uint64_t &below)
{
    const uint64_t ext = lane_sum(t.n_ext), up = split ? lane_sum(t.n_up) : ext;
    above += t.above + up;
    below += t.below + (ext - up);
}

// A kernel's one-band loop, instantiated for the trace on or off and for S1
// possibly 0 or not, so that neither choice is made per vector.
template <class Tail, class... Args>
void run_one_band(const Tail &tail, Args &&...args)
{
    if (tail.split)
        tail.zero_first ? tail.template one_band<true, true>(args...)
                        : tail.template one_band<true, false>(args...);
    else
        tail.zero_first ? tail.template one_band<false, true>(args...)
                        : tail.template one_band<false, false>(args...);
}

// The last two levels of an exhaustive walk, a row at a time.  With both
// thresholds 1 and only the sum wanted, every pair counts.
template <fc_mode M, class Tail>
void run_rows(Tail &tail, typename Tail::tally &t, const double *f, const double *s, size_t len,
              double base_f, double base_s)
{
    if constexpr (M == fc_mode::unit) {
        if (!tail.split) {
            t.above += len < 2 ? 0 : len * (len - 1) / 2;
            return;
        }
    }
    for (size_t i = 0; i + 1 < len; ++i)
        tail.run(t, f + i + 1, s + i + 1, len - i - 1, base_f + f[i], base_s + s[i]);
}

}  // namespace

#endif
