#ifndef PVALUE_DRAWS_H
#define PVALUE_DRAWS_H

// The draws of the sampled walks.  A walk uses each draw only through its
// residue modulo the stride S; draws<S, Source> hands the residues out one at
// a time, consuming exactly one output of the source each, so the source ends
// where the walk's last draw left it.
//
// Any source is called once per draw (the tests' stub generators, the C
// library's random() in reference builds).  The process-wide generator of the
// support library lays its upcoming outputs out in a buffer, so their
// residues are computed a buffer at a time, off the walk's critical path;
// the walk holds only its position in that buffer, by value, so that it can
// live in a register, and hands it back when done.

#include <cstdint>

#include "vp_random.h"

// The stream that the sampled members of this thread draw from while
// near_exact_pval counts a feature with draws of its own: that call's, or
// none for the process-wide sequence.  Set around the passes, since the
// counting family's signature has no place for it.
extern constinit thread_local vp_random_stream *pvalue_call_stream;

// Internal linkage: the files that include this are compiled for different
// instruction sets, and an out-of-line copy from one must never serve
// another.
namespace {

// The generator a sampled member draws from: the call's stream if there is
// one, else the process-wide sequence.
struct process_generator {
    int32_t operator()() const
    {
        return pvalue_call_stream ? vp_random_stream_next(*pvalue_call_stream) : vp_random();
    }
};

template <unsigned S, class Source>
struct draws {
    Source *source;  // a pointer, so that a walk can hold a copy

    explicit draws(Source &s) : source(&s) {}

    int32_t next() { return static_cast<int32_t>(static_cast<uint32_t>((*source)()) % S); }

    // Called once the walk has drawn everything it will.
    void done() {}
};

#if VP_RANDOM_PRIVATE
// GCC's cost model at -O2 leaves the residue loop scalar; clang has no such
// attribute and vectorises it anyway.
#if defined(__GNUC__) && !defined(__clang__)
#define PVALUE_VECTORISE [[gnu::optimize("-fvect-cost-model=dynamic")]]
#else
#define PVALUE_VECTORISE
#endif

// The residues of the generator's whole buffer, refilled with it.  One walk
// at a time runs on a thread: a buffer of the thread's own, at an address
// fixed relative to the thread, so that the walk holds nothing but its
// position, which stays in a register.
thread_local int32_t walk_residues[vp_random_batch_capacity];

template <unsigned S>
struct draws<S, process_generator> {
    static constexpr unsigned end = vp_random_batch_capacity;
    unsigned pos;

    explicit draws(process_generator &) { pos = take(); }

    // The residues of a fresh batch: the whole buffer, a fixed count of
    // words that the compiler vectorises; the position of its first unused
    // output.
    PVALUE_VECTORISE static unsigned take()
    {
        vp_random_stream *const stream = pvalue_call_stream;
        const vp_random_batch batch =
            stream ? vp_random_stream_upcoming(*stream) : vp_random_upcoming();
        for (unsigned i = 0; i < end; ++i)
            walk_residues[i] = static_cast<int32_t>((batch.words[i] >> 1) % S);
        return batch.begin;
    }

    static void consume_to(unsigned at)
    {
        if (vp_random_stream *const stream = pvalue_call_stream)
            vp_random_stream_consume_to(*stream, at);
        else
            vp_random_consume_to(at);
    }

    // The batch is used up at `at`: the next one.
    [[gnu::noinline]] static unsigned refill(unsigned at)
    {
        consume_to(at);
        return take();
    }

    int32_t next()
    {
        if (pos == end) [[unlikely]]
            pos = refill(pos);
        return walk_residues[pos++];
    }

    void done() { consume_to(pos); }
};
#endif

}  // namespace

#endif
