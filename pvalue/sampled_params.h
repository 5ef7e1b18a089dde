#ifndef PVALUE_SAMPLED_PARAMS_H
#define PVALUE_SAMPLED_PARAMS_H

#include <cstddef>

// Stride and sweep count of each sampled member, indexed by pairs (5 to 12).
// They follow no formula; each member has its own.
struct sampled_params {
    unsigned pairs;
    unsigned stride;
    unsigned sweeps;
};

inline constexpr sampled_params sampled_members[] = {
    {5, 3, 8},   {6, 5, 8},   {7, 7, 4},   {8, 12, 6},
    {9, 17, 12}, {10, 22, 12}, {11, 26, 8}, {12, 30, 4},
};

constexpr sampled_params sampled_params_for(unsigned pairs)
{
    return sampled_members[pairs - 5];
}

#endif
