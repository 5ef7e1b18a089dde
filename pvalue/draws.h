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
// one, else the process-wide sequence.  It holds the residue buffer of the
// private generator's batch, so that walks on several threads share none.
struct process_generator {
    vp_random_stream *stream = pvalue_call_stream;
    int32_t residues[vp_random_batch_capacity];

    int32_t operator()() const { return stream ? vp_random_stream_next(*stream) : vp_random(); }
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

template <unsigned S>
struct draws<S, process_generator> {
    static constexpr unsigned end = vp_random_batch_capacity;
    // The residues of the generator's whole buffer, refilled with it.
    int32_t *res;
    vp_random_stream *stream;
    unsigned pos;

    explicit draws(process_generator &g) : res(g.residues), stream(g.stream) { pos = take(); }

    // The residues of a fresh batch: the whole buffer, a fixed count of
    // words that the compiler vectorises; the position of its first unused
    // output.
    PVALUE_VECTORISE unsigned take()
    {
        const vp_random_batch batch =
            stream ? vp_random_stream_upcoming(*stream) : vp_random_upcoming();
        for (unsigned i = 0; i < end; ++i)
            res[i] = static_cast<int32_t>((batch.words[i] >> 1) % S);
        return batch.begin;
    }

    void consume_to(unsigned at) const
    {
        if (stream)
            vp_random_stream_consume_to(*stream, at);
        else
            vp_random_consume_to(at);
    }

    // The batch is used up at `at`: the next one.
    [[gnu::noinline]] unsigned refill(unsigned at)
    {
        consume_to(at);
        return take();
    }

    int32_t next()
    {
        if (pos == end) [[unlikely]]
            pos = refill(pos);
        return res[pos++];
    }

    void done() { consume_to(pos); }
};
#endif

}  // namespace

#endif
