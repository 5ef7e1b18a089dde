#ifndef PVALUE_PRODUCTION_RNG_H
#define PVALUE_PRODUCTION_RNG_H

#include <cstdint>

#include "vp_random.h"

// The draws of the production members: the process-wide generator.  Internal
// linkage, like everything the kernel files share: each is compiled for its
// own instruction set, and an out-of-line copy from one must never serve
// another.
namespace {
struct production_rng {
    int32_t operator()() const { return vp_random(); }
};
}  // namespace

#endif
