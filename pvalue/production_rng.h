#ifndef PVALUE_PRODUCTION_RNG_H
#define PVALUE_PRODUCTION_RNG_H

#include <cstdint>

#include "vp_random.h"

// The draws of the production members: the process-wide generator.
struct production_rng {
    int32_t operator()() const { return vp_random(); }
};

#endif
