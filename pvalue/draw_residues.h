#ifndef PVALUE_DRAW_RESIDUES_H
#define PVALUE_DRAW_RESIDUES_H

// The sampled walks use each draw only through its residue modulo the stride.
// A draw_residues hands them out one at a time, consuming exactly one draw of
// the generator each, so the generator ends where the walk's last draw left
// it.
//
// This general form calls the generator once per draw.  Generators that can
// expose their upcoming outputs specialise it (production_rng.h), so that the
// residues are computed ahead, a batch at a time, off the walk's critical
// path.

#include <cstdint>

namespace {

template <unsigned S, class Rng>
struct draw_residues {
    Rng *rng;  // a pointer, so that a walk can hold a copy

    explicit draw_residues(Rng &r) : rng(&r) {}

    int32_t next() { return static_cast<int32_t>(static_cast<uint32_t>((*rng)()) % S); }

    // Called once the walk has drawn everything it will.
    void done() {}
};

}  // namespace

#endif
