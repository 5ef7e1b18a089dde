#include "count_reference.h"
#include "kernels.h"

namespace {

pvalue_isa detect_isa()
{
    __builtin_cpu_init();
    // The vector kernels also use fused multiply-add and POPCNT; AVX-512F
    // implies FMA, and every CPU with AVX2 has POPCNT, but ask anyway.
    const bool base = __builtin_cpu_supports("fma") && __builtin_cpu_supports("popcnt");
    if (base && __builtin_cpu_supports("avx512f"))
        return pvalue_isa_avx512;
    if (base && __builtin_cpu_supports("avx2"))
        return pvalue_isa_avx2;
    return pvalue_isa_scalar;
}

#ifdef DRANVEL_REFERENCE_KERNELS
pvalue_isa active = pvalue_isa_reference;
#else
pvalue_isa active = detect_isa();
#endif
const count_fn *active_table = pvalue_isa_table(active);

}  // namespace

pvalue_isa pvalue_best_isa()
{
    static const pvalue_isa best = detect_isa();
    return best;
}

pvalue_isa pvalue_active_isa()
{
    return active;
}

const count_fn *pvalue_isa_table(pvalue_isa isa)
{
    switch (isa) {
    case pvalue_isa_avx512: return avx512_count_table;
    case pvalue_isa_avx2: return avx2_count_table;
    case pvalue_isa_reference: return reference_count_table;
    case pvalue_isa_scalar: break;
    }
    return scalar_count_table;
}

const char *pvalue_isa_name(pvalue_isa isa)
{
    switch (isa) {
    case pvalue_isa_avx512: return "avx512";
    case pvalue_isa_avx2: return "avx2";
    case pvalue_isa_reference: return "reference";
    case pvalue_isa_scalar: break;
    }
    return "scalar";
}

bool pvalue_force_isa(pvalue_isa isa)
{
    if (isa != pvalue_isa_reference && isa > pvalue_best_isa())
        return false;
    active = isa;
    active_table = pvalue_isa_table(isa);
    return true;
}

#define PVALUE_MEMBER(k)                                                                   \
    uint64_t count_extreme_fcs_##k(const count_pair *list, uint64_t n, uint64_t *sampled,  \
                                   double fc)                                              \
    {                                                                                      \
        return active_table[k - 2](list, n, sampled, fc);                                  \
    }
PVALUE_MEMBER(2)
PVALUE_MEMBER(3)
PVALUE_MEMBER(4)
PVALUE_MEMBER(5)
PVALUE_MEMBER(6)
PVALUE_MEMBER(7)
PVALUE_MEMBER(8)
PVALUE_MEMBER(9)
PVALUE_MEMBER(10)
PVALUE_MEMBER(11)
PVALUE_MEMBER(12)
#undef PVALUE_MEMBER

const count_fn count_extreme_fcs_table[count_table_size] = {
    count_extreme_fcs_2, count_extreme_fcs_3, count_extreme_fcs_4,  count_extreme_fcs_5,
    count_extreme_fcs_6, count_extreme_fcs_7, count_extreme_fcs_8,  count_extreme_fcs_9,
    count_extreme_fcs_10, count_extreme_fcs_11, count_extreme_fcs_12,
};

uint64_t count_extreme_fcs(const count_pair *pair_list, size_t list_len, size_t pairs,
                           uint64_t *fcs_sampled, double observed_fc)
{
    if (pairs < 2 || pairs - 2 >= count_table_size) {
        *fcs_sampled = 0;
        return 0;
    }
    return count_extreme_fcs_table[pairs - 2](pair_list, list_len, fcs_sampled, observed_fc);
}
