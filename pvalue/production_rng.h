#ifndef PVALUE_PRODUCTION_RNG_H
#define PVALUE_PRODUCTION_RNG_H

#include <cstdint>

#include "draw_residues.h"
#include "vp_random.h"

// The draws of the production members: the process-wide generator.  Internal
// linkage, like everything the kernel files share: each is compiled for its
// own instruction set, and an out-of-line copy from one must never serve
// another.
namespace {
struct production_rng {
    int32_t operator()() const { return vp_random(); }
};

#if VP_RANDOM_PRIVATE
// GCC's cost model at -O2 leaves the residue loop scalar; clang has no such
// attribute and vectorises it anyway.
#if defined(__GNUC__) && !defined(__clang__)
#define PVALUE_VECTORISE [[gnu::optimize("-fvect-cost-model=dynamic")]]
#else
#define PVALUE_VECTORISE
#endif

// The private generator's upcoming outputs lie in its buffer, so their
// residues are computed a buffer at a time.  A walk holds only its position
// in that buffer, by value, so that the position can live in a register; the
// residues are kept in static storage, refilled with the generator's buffer,
// and the position is written back when the walk is done.
template <unsigned S>
struct draw_residues<S, production_rng> {
    static constexpr unsigned end = vp_detail::random_end;
    static inline int32_t res[end];
    unsigned pos;

    explicit draw_residues(production_rng &) : pos(vp_detail::g_random.pos) { fill(); }

    // The whole buffer, before pos too: a fixed count of words, which the
    // compiler vectorises once its cost model lets it.
    PVALUE_VECTORISE static void fill()
    {
        constexpr unsigned from = vp_detail::random_history;
        for (unsigned i = 0; i < vp_detail::random_batch; ++i)
            res[from + i] = static_cast<int32_t>((vp_detail::g_random.words[from + i] >> 1) % S);
    }

    // The buffer is used up at `at`: a new one, and the position in it.
    [[gnu::noinline]] static unsigned refill(unsigned at)
    {
        vp_detail::g_random.pos = at;
        vp_detail::random_reserve(vp_detail::g_random, 1);
        fill();
        return vp_detail::g_random.pos;
    }

    int32_t next()
    {
        if (pos == end) [[unlikely]]
            pos = refill(pos);
        return res[pos++];
    }

    void done() { vp_detail::g_random.pos = pos; }
};
#endif
}  // namespace

#endif
