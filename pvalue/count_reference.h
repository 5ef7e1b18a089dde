#ifndef PVALUE_COUNT_REFERENCE_H
#define PVALUE_COUNT_REFERENCE_H

#include <cstdint>

#include "pvalue.h"

// Plain reference versions of the counting family: straight loops from the
// counting rule, every combination's sums formed afresh and compared with the
// observed ratio exactly.
// They define the behaviour that the production kernels must reproduce and
// serve as the baseline of the benchmark.

// Source of the sampled walk's draws: returns the next value in [0, 2^31).
using draw_fn = long (*)(void *ctx);

// Every combination of k positions of the list, in lexicographic order.
uint64_t reference_count_exhaustive(const count_pair *pair_list, uint64_t list_len, unsigned k,
                                    uint64_t *fcs_sampled, const observed_ratio &observed);

// The sampled walk for p pairs with stride s and `sweeps` sweeps; draws come
// from draw(ctx), one per value taken at levels 1 to p - 1.
uint64_t reference_count_sampled(const count_pair *pair_list, uint64_t list_len, unsigned p,
                                 unsigned stride, unsigned sweeps, uint64_t *fcs_sampled,
                                 const observed_ratio &observed, draw_fn draw, void *ctx);

// draw_fn that calls the C library's random(), or the stream of a call with
// draws of its own.
long reference_libc_draw(void *ctx);

// The reference members, 2 to 12 pairs (5 to 12 drawing from libc random()),
// with the signature and trace of the production family.
extern const count_fn reference_count_table[count_table_size];

#endif
