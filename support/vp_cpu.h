#ifndef VP_CPU_H
#define VP_CPU_H

// The instruction sets this CPU offers that the suite has faster paths for.
// Probed once, on first use, and shared by every part of the program.
struct vp_cpu_features {
    bool avx2;
    bool avx512f;
    bool fma;
    bool popcnt;
};
const vp_cpu_features &vp_cpu();

#endif
