#ifndef PVALUE_COUNT_KERNELS_H
#define PVALUE_COUNT_KERNELS_H

// The counting members as templates over a Tail kernel, so that each
// instruction set compiles the same walk around its own innermost loop.
// Everything here has internal linkage, so each translation unit, built with
// its own instruction-set flags, keeps its own copy.
//
// A Tail has
//   void run(const double *f, const double *s, size_t len,
//            double base_f, double base_s, double high, double low,
//            uint64_t &above, uint64_t &below);
// (static or not) which, for i from 0 to len - 1, forms
// fc = (base_s + s[i]) / (base_f + f[i]) and counts it above when fc >= high,
// else below when fc <= low.  This is the last addition, the division and the
// comparisons of every combination; the sums over the earlier positions are
// formed once per choice of them.  len may be 0.
//
// A Tail that keeps counts of another form (vector lanes) declares a type
// `tally`, with members above and below among others, and then has
//   void run(tally &t, const double *f, const double *s, size_t len,
//            double base_f, double base_s);
//   void finish(const tally &t, uint64_t &above, uint64_t &below);
// instead; finish adds what t holds to above and below.  The walks keep the
// tally in a local of one fully inlined function, so that it stays in
// registers: counts that went through memory on every run would chain every
// combination to the store of the one before.
//
// A Tail may also have run2, with the arguments of its run, which counts
// every combination of two positions i < j of the run, fc = ((base_s + s[i])
// + s[j]) / ((base_f + f[i]) + f[j]): the last two levels of an exhaustive
// walk at once.  Walks of three or more levels use it when it is there.
//
// A Tail that prepares per-call constants (the vector kernels' division-free
// filter) is constructible from a tail_setup; the walks build one per call.
// Others are default-constructed.  Only the walks call a Tail; it reads the
// arrays it is given and nothing else of the walk.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "count_reference.h"
#include "draw_residues.h"
#include "vp_binomial.h"
#include "pvalue.h"
#include "sampled_params.h"

// What a Tail may look at once per call, before any combination.
struct tail_setup {
    const count_pair *list;
    uint64_t n;
    unsigned k;  // records per combination
    double high;
    double low;
};

namespace {

template <class Tail>
Tail make_tail(const tail_setup &setup)
{
    if constexpr (std::is_constructible_v<Tail, const tail_setup &>)
        return Tail(setup);
    else
        return Tail{};
}

// The counts of a walk whose Tail keeps them in above and below.
struct basic_tally {
    uint64_t above = 0;
    uint64_t below = 0;
};

template <class Tail>
constexpr bool has_tally = requires { typename Tail::tally; };

template <class Tail>
auto tally_type()
{
    if constexpr (has_tally<Tail>)
        return typename Tail::tally{};
    else
        return basic_tally{};
}

template <class Tail>
using tally_of = decltype(tally_type<Tail>());

// Counts the last level of a walk (Levels 1, run) or the last two (Levels 2,
// run2) in t, whichever form of counts the Tail keeps.
template <unsigned Levels, class Tail>
void run_tail(Tail &tail, tally_of<Tail> &t, const double *f, const double *s, size_t len,
              double base_f, double base_s, double high, double low)
{
    if constexpr (has_tally<Tail>) {
        if constexpr (Levels == 2)
            tail.run2(t, f, s, len, base_f, base_s);
        else
            tail.run(t, f, s, len, base_f, base_s);
    } else {
        if constexpr (Levels == 2)
            tail.run2(f, s, len, base_f, base_s, high, low, t.above, t.below);
        else
            tail.run(f, s, len, base_f, base_s, high, low, t.above, t.below);
    }
}

template <class Tail>
void finish_tally(Tail &tail, const tally_of<Tail> &t, uint64_t &above, uint64_t &below)
{
    if constexpr (has_tally<Tail>) {
        tail.finish(t, above, below);
    } else {
        above += t.above;
        below += t.below;
    }
}

// Longest lists the members lay out on the stack; the pair lists of the
// near-exact method are exactly this long, longer ones take the reference path.
inline constexpr uint64_t exhaustive_max_len = 56;
inline constexpr uint64_t sampled_max_len = 552;
// The arrays a Tail reads are followed by this many zeros, so that a vector
// kernel may load a whole vector from anywhere in them and mask the lanes
// past the end afterwards.
inline constexpr uint64_t tail_pad = 8;

template <unsigned K, class Tail>
struct exhaustive_walk {
    double f[exhaustive_max_len + tail_pad];
    double s[exhaustive_max_len + tail_pad];
    uint64_t n;
    double high;
    double low;
    Tail tail;

    exhaustive_walk(const count_pair *list, uint64_t n_, double observed_fc)
        : n(n_), high(observed_fc), low(1.0 / observed_fc),
          tail(make_tail<Tail>(tail_setup{list, n_, K, high, low}))
    {
        for (uint64_t i = 0; i < n; ++i) {
            f[i] = list[i].first;
            s[i] = list[i].second;
        }
        for (uint64_t i = n; i < n + tail_pad; ++i)
            f[i] = s[i] = 0.0;
    }

    // Positions of levels 1 to D are chosen; bf and bs are their sums, added
    // from the lowest position up.
    template <unsigned D>
    void level(tally_of<Tail> &t, uint64_t from, double bf, double bs)
    {
        if constexpr (D + 2 == K && requires { &Tail::run2; }) {
            run_tail<2>(tail, t, f + from, s + from, n - from, bf, bs, high, low);
        } else if constexpr (D + 1 == K) {
            run_tail<1>(tail, t, f + from, s + from, n - from, bf, bs, high, low);
        } else {
            for (uint64_t q = from; q < n; ++q)
                level<D + 1>(t, q + 1, bf + f[q], bs + s[q]);
        }
    }

    [[gnu::flatten]] tally_of<Tail> run()
    {
        tally_of<Tail> t{};
        for (uint64_t q = 0; q < n; ++q)
            level<1>(t, q + 1, f[q], s[q]);
        return t;
    }
};

template <unsigned K, class Tail>
uint64_t exhaustive_member(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                           double observed_fc)
{
    if (n > exhaustive_max_len)
        return reference_count_exhaustive(list, n, K, fcs_sampled, observed_fc);
    exhaustive_walk<K, Tail> w(list, n, observed_fc);
    uint64_t above = 0, below = 0;
    finish_tally(w.tail, w.run(), above, below);
    if (Debug)
        print_count_trace(observed_fc, above, w.low, below);
    *fcs_sampled = vp_n_choose_k(n, K);
    return above + below;
}

template <unsigned P, unsigned S, class Tail>
struct sampled_walk {
    const count_pair *list;
    uint64_t n;
    double high;
    double low;
    Tail tail;
    // The deepest level visits start, start + S, ...: one residue class of
    // positions modulo S, stored contiguously so its loop reads unit-stride.
    double tf[sampled_max_len + tail_pad];
    double ts[sampled_max_len + tail_pad];
    // For every start c below n + S, the deepest level's run from c, packed
    // into one word so that a start costs one load: the index of record c in
    // that layout, and above 16 bits how many values the level takes from c
    // (0 when c >= n).
    int32_t run_of[sampled_max_len + S];
    // The list in position order.
    double pf[sampled_max_len];
    double ps[sampled_max_len];

    sampled_walk(const count_pair *list_, uint64_t n_, double observed_fc)
        : list(list_), n(n_), high(observed_fc), low(1.0 / observed_fc),
          tail(make_tail<Tail>(tail_setup{list_, n_, P, high, low}))
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
        for (uint64_t i = n; i < n + tail_pad; ++i)
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
        tally_of<Tail> tally;
        uint64_t sampled;
    };

    // Without a branch on whether the start is below n: that test goes either
    // way at random, and a start past the end just gives an empty run.
    template <class Draws>
    void deepest(walk_state<Draws> &w, uint64_t start, double bf, double bs)
    {
        const int32_t run = run_of[start];
        const int32_t at = run & 0xffff;
        const uint64_t len = static_cast<uint64_t>(run >> 16);
        run_tail<1>(tail, w.tally, tf + at, ts + at, len, bf, bs, high, low);
        w.sampled += len;
    }

    // Level L (1 to P - 1) takes start, start + S, ...; each value it takes
    // draws once, at once, and the draw places the start of level L + 1.
    template <unsigned L, class Draws>
    void level(walk_state<Draws> &w, uint64_t start, double bf, double bs)
    {
        for (uint64_t v = start; v < n; v += S) {
            uint64_t next = v + 1 + static_cast<uint64_t>(w.draws.next());
            double f = L == 1 ? pf[v] : bf + pf[v];
            double s = L == 1 ? ps[v] : bs + ps[v];
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
    [[gnu::flatten, gnu::noinline]] void sweep(Draws &draws, tally_of<Tail> &tally, uint64_t &sampled)
    {
        walk_state<Draws> w{draws, tally, sampled};
        level<1>(w, 0, 0.0, 0.0);
        draws = w.draws;
        tally = w.tally;
        sampled = w.sampled;
    }
};

template <class Rng>
long draw_through(void *ctx)
{
    return static_cast<long>((*static_cast<Rng *>(ctx))());
}

// The sampled member for P pairs: R sweeps of the structured walk with stride
// S, drawing from rng (which returns values in [0, 2^31)).
template <unsigned P, unsigned S, unsigned R, class Tail, class Rng>
uint64_t sampled_member(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                        double observed_fc, Rng &rng)
{
    if (n > sampled_max_len)
        return reference_count_sampled(list, n, P, S, R, fcs_sampled, observed_fc,
                                       draw_through<Rng>, &rng);
    sampled_walk<P, S, Tail> w(list, n, observed_fc);
    draw_residues<S, Rng> draws(rng);
    tally_of<Tail> tally{};
    uint64_t sampled = 0;
    for (unsigned sweep = 0; sweep < R; ++sweep)
        w.sweep(draws, tally, sampled);
    draws.done();
    uint64_t above = 0, below = 0;
    finish_tally(w.tail, tally, above, below);
    if (Debug)
        print_count_trace(observed_fc, above, w.low, below);
    *fcs_sampled = sampled;
    return above + below;
}

template <unsigned P, class Tail, class Rng>
uint64_t sampled_member_for(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                            double observed_fc, Rng &rng)
{
    constexpr sampled_params m = sampled_params_for(P);
    return sampled_member<P, m.stride, m.sweeps, Tail>(list, n, fcs_sampled, observed_fc, rng);
}

}  // namespace

#endif
