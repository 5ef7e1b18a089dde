#ifndef PVALUE_WALKS_H
#define PVALUE_WALKS_H

// The walks over the combinations of a pair list: every combination of K
// positions (exhaustive, 2 to 4 pairs), or the structured sample of the
// sampled members (5 to 12 pairs).  A walk forms the sums over the positions
// of all levels but the deepest once per choice of them, and hands each run
// of the deepest level to a run kernel, which adds the last record and
// compares with the observed ratio.  Every instruction set compiles the same walks around its
// own kernel; everything here has internal linkage, so each translation
// unit, built with its own flags, keeps its own copy.

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "count_reference.h"
#include "draws.h"
#include "exact_ratio.h"
#include "fc_filter.h"
#include "pvalue.h"
#include "sampled_params.h"
#include "vp_binomial.h"

// Internal linkage, for the files built for other instruction sets (and the
// filter's types have it too).
namespace {

// What a kernel takes once per call, before any combination.
struct kernel_setup {
    observed_ratio ratio;  // R, for what the bounds leave open
    ratio_bounds bounds;   // the doubles either side of R and 1 / R
    fc_filter filter;      // the division-free test's constants, for kernels that use it
    bool split;            // the above and below counts wanted apart (the trace), not only their sum
};

// A run kernel counts one run of the deepest level: for i from 0 to len - 1,
// the combination whose sums are S1 = base_f + f[i] and S2 = base_s + s[i],
// above when S2 / S1 >= R, else below when S2 / S1 <= 1 / R, exactly
// (classify_fc).
// It keeps its counts in a tally, which the walk holds in a local of one
// fully inlined function, so that it stays in registers (counts that went
// through memory on every run would chain every combination to the store of
// the one before), and adds them up with finish once the walk is done.  f
// and s may be read up to walk_pad entries past len, and len may be 0.
template <class K>
concept run_kernel =
    std::constructible_from<K, const kernel_setup &> &&
    requires(const K &k, typename K::tally &t, const double *f, const double *s, size_t len,
             double base_f, double base_s, uint64_t &above, uint64_t &below) {
        k.run(t, f, s, len, base_f, base_s);
        k.finish(t, above, below);
    };

// Longest lists the walks lay out on the stack; the pair lists of the
// near-exact method are exactly this long, longer ones take the reference.
inline constexpr uint64_t exhaustive_max_len = 56;
inline constexpr uint64_t sampled_max_len = 552;
// The arrays a kernel reads are followed by this many zeros, so that a vector
// kernel may load a whole vector from anywhere in them and mask the lanes
// past the end afterwards.
inline constexpr uint64_t walk_pad = 8;

template <unsigned K, run_kernel Kernel>
struct exhaustive_walk {
    double f[exhaustive_max_len + walk_pad];
    double s[exhaustive_max_len + walk_pad];
    uint64_t n;
    const Kernel &kernel;

    exhaustive_walk(const count_pair *list, uint64_t n_, const Kernel &k) : n(n_), kernel(k)
    {
        for (uint64_t i = 0; i < n; ++i) {
            f[i] = list[i].first;
            s[i] = list[i].second;
        }
        for (uint64_t i = n; i < n + walk_pad; ++i)
            f[i] = s[i] = 0.0;
    }

    // Positions of levels 1 to D are chosen; bf and bs are their sums, added
    // from the lowest position up.
    template <unsigned D>
    void level(typename Kernel::tally &t, uint64_t from, double bf, double bs) const
    {
        if constexpr (D + 1 == K) {
            kernel.run(t, f + from, s + from, n - from, bf, bs);
        } else {
            for (uint64_t q = from; q < n; ++q)
                level<D + 1>(t, q + 1, bf + f[q], bs + s[q]);
        }
    }

    [[gnu::flatten]] typename Kernel::tally run() const
    {
        typename Kernel::tally t{};
        for (uint64_t q = 0; q < n; ++q)
            level<1>(t, q + 1, f[q], s[q]);
        return t;
    }
};

// Every combination of K positions: above + below, *fcs_sampled the number
// of combinations.
template <unsigned K, run_kernel Kernel>
uint64_t exhaustive_count(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                          const kernel_setup &setup)
{
    if (n > exhaustive_max_len)
        return reference_count_exhaustive(list, n, K, fcs_sampled, setup.ratio);
    const Kernel kernel(setup);
    const exhaustive_walk<K, Kernel> w(list, n, kernel);
    uint64_t above = 0, below = 0;
    kernel.finish(w.run(), above, below);
    if (Debug)
        print_count_trace(setup.ratio.fc, above, 1.0 / setup.ratio.fc, below);
    *fcs_sampled = vp_n_choose_k(n, K);
    return above + below;
}

template <unsigned P, unsigned S, run_kernel Kernel>
struct sampled_walk {
    const count_pair *list;
    uint64_t n;
    const Kernel &kernel;
    // The deepest level visits start, start + S, ...: one residue class of
    // positions modulo S, stored contiguously so its loop reads unit-stride.
    double tf[sampled_max_len + walk_pad];
    double ts[sampled_max_len + walk_pad];
    // For every start c below n + S, the deepest level's run from c, packed
    // into one word so that a start costs one load: the index of record c in
    // that layout, and above 16 bits how many values the level takes from c
    // (0 when c >= n).
    int32_t run_of[sampled_max_len + S];
    // The list in position order.
    double pf[sampled_max_len];
    double ps[sampled_max_len];

    sampled_walk(const count_pair *list_, uint64_t n_, const Kernel &k)
        : list(list_), n(n_), kernel(k)
    {
        lay_out();
    }

    void lay_out()
    {
        int32_t off = 0;
        for (unsigned r = 0; r < S; ++r) {
            // positions r, r + S, ... below n
            const int32_t k = r < n ? static_cast<int32_t>((n - 1 - r) / S + 1) : 0;
            for (int32_t j = 0; j < k; ++j) {
                const uint64_t v = r + static_cast<uint64_t>(j) * S;
                tf[off + j] = list[v].first;
                ts[off + j] = list[v].second;
                run_of[v] = (off + j) | (k - j) << 16;
            }
            off += k;
        }
        for (uint64_t c = n; c < n + S; ++c)
            run_of[c] = 0;
        for (uint64_t i = n; i < n + walk_pad; ++i)
            tf[i] = ts[i] = 0.0;
        for (uint64_t v = 0; v < n; ++v) {
            pf[v] = list[v].first;
            ps[v] = list[v].second;
        }
    }

    // What a sweep updates, kept in locals of the one inlined sweep.
    template <class Draws>
    struct walk_state {
        Draws draws;
        typename Kernel::tally tally;
        uint64_t sampled;
    };

    // Without a branch on whether the start is below n: that test goes either
    // way at random, and a start past the end just gives an empty run.
    template <class Draws>
    void deepest(walk_state<Draws> &w, uint64_t start, double bf, double bs) const
    {
        const int32_t run = run_of[start];
        const int32_t at = run & 0xffff;
        const uint64_t len = static_cast<uint64_t>(run >> 16);
        kernel.run(w.tally, tf + at, ts + at, len, bf, bs);
        w.sampled += len;
    }

    // Level L (1 to P - 1) takes start, start + S, ...; each value it takes
    // draws once, at once, and the draw places the start of level L + 1.
    template <unsigned L, class Draws>
    void level(walk_state<Draws> &w, uint64_t start, double bf, double bs) const
    {
        for (uint64_t v = start; v < n; v += S) {
            const uint64_t next = v + 1 + static_cast<uint64_t>(w.draws.next());
            const double f = L == 1 ? pf[v] : bf + pf[v];
            const double s = L == 1 ? ps[v] : bs + ps[v];
            if constexpr (L + 1 == P)
                deepest(w, next, f, s);
            else
                level<L + 1>(w, next, f, s);
        }
    }

    // One sweep, with every level, the draws and the counting inlined, so
    // that the position in the generator's buffer and the counts stay in
    // registers for the whole walk.  Not inlined into the member: with the
    // layout and the set-up around it, GCC kept the vector counts in memory.
    template <class Draws>
    [[gnu::flatten, gnu::noinline]] void sweep(Draws &draws, typename Kernel::tally &tally,
                                               uint64_t &sampled) const
    {
        walk_state<Draws> w{draws, tally, sampled};
        level<1>(w, 0, 0.0, 0.0);
        draws = w.draws;
        tally = w.tally;
        sampled = w.sampled;
    }
};

template <class Source>
long draw_through(void *ctx)
{
    return static_cast<long>((*static_cast<Source *>(ctx))());
}

// The sampled walk for P pairs: R sweeps with stride S, drawing from source
// (which returns values in [0, 2^31)).
template <unsigned P, unsigned S, unsigned R, run_kernel Kernel, class Source>
uint64_t sampled_count(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                       const kernel_setup &setup, Source &source)
{
    if (n > sampled_max_len)
        return reference_count_sampled(list, n, P, S, R, fcs_sampled, setup.ratio,
                                       draw_through<Source>, &source);
    const Kernel kernel(setup);
    const sampled_walk<P, S, Kernel> w(list, n, kernel);
    draws<S, Source> d(source);
    typename Kernel::tally tally{};
    uint64_t sampled = 0;
    for (unsigned sweep = 0; sweep < R; ++sweep)
        w.sweep(d, tally, sampled);
    d.done();
    uint64_t above = 0, below = 0;
    kernel.finish(tally, above, below);
    if (Debug)
        print_count_trace(setup.ratio.fc, above, 1.0 / setup.ratio.fc, below);
    *fcs_sampled = sampled;
    return above + below;
}

// The same with the member's own stride and sweeps.
template <unsigned P, run_kernel Kernel, class Source>
uint64_t sampled_count_for(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                           const kernel_setup &setup, Source &source)
{
    constexpr sampled_params m = sampled_params_for(P);
    return sampled_count<P, m.stride, m.sweeps, Kernel>(list, n, fcs_sampled, setup, source);
}

// A kernel_setup for kernels that take no filter.
inline kernel_setup plain_setup(const observed_ratio &observed)
{
    return {observed, bounds_of(observed), fc_filter{}, Debug};
}

}  // namespace

#endif
