#include "vp_cpu.h"

const vp_cpu_features &vp_cpu()
{
    static const vp_cpu_features features = [] {
        __builtin_cpu_init();
        return vp_cpu_features{
            __builtin_cpu_supports("avx2") != 0,
            __builtin_cpu_supports("avx512f") != 0,
            __builtin_cpu_supports("fma") != 0,
            __builtin_cpu_supports("popcnt") != 0,
        };
    }();
    return features;
}
