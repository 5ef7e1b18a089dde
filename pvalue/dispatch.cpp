#include "count_reference.h"
#include "kernels.h"
#include "vp_cpu.h"

namespace {

pvalue_isa detect_isa()
{
    // The vector kernels also use fused multiply-add and POPCNT; AVX-512F
    // implies FMA, and every CPU with AVX2 has POPCNT, but ask anyway.
    const vp_cpu_features &cpu = vp_cpu();
    const bool base = cpu.fma && cpu.popcnt;
    if (base && cpu.avx512f)
        return pvalue_isa_avx512;
    if (base && cpu.avx2)
        return pvalue_isa_avx2;
    return pvalue_isa_scalar;
}

#ifdef DRANVEL_REFERENCE_KERNELS
pvalue_isa active = pvalue_isa_reference;
#else
pvalue_isa active = detect_isa();
#endif
const count_fn *active_table = pvalue_isa_table(active);

template <unsigned K>
uint64_t active_member(const count_pair *list, uint64_t n, uint64_t *sampled,
                       const observed_ratio &fc)
{
    return active_table[K - 2](list, n, sampled, fc);
}

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
    case pvalue_isa_avx512: return avx512_count_table.data();
    case pvalue_isa_avx2: return avx2_count_table.data();
    case pvalue_isa_reference: return reference_count_table;
    case pvalue_isa_scalar: break;
    }
    return scalar_count_table.data();
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

// The named members reach the table of the instruction set in use.
uint64_t count_extreme_fcs_2(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<2>(l, n, s, fc); }
uint64_t count_extreme_fcs_3(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<3>(l, n, s, fc); }
uint64_t count_extreme_fcs_4(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<4>(l, n, s, fc); }
uint64_t count_extreme_fcs_5(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<5>(l, n, s, fc); }
uint64_t count_extreme_fcs_6(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<6>(l, n, s, fc); }
uint64_t count_extreme_fcs_7(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<7>(l, n, s, fc); }
uint64_t count_extreme_fcs_8(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<8>(l, n, s, fc); }
uint64_t count_extreme_fcs_9(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<9>(l, n, s, fc); }
uint64_t count_extreme_fcs_10(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<10>(l, n, s, fc); }
uint64_t count_extreme_fcs_11(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<11>(l, n, s, fc); }
uint64_t count_extreme_fcs_12(const count_pair *l, uint64_t n, uint64_t *s, const observed_ratio &fc) { return active_member<12>(l, n, s, fc); }

const count_fn count_extreme_fcs_table[count_table_size] = {
    count_extreme_fcs_2, count_extreme_fcs_3, count_extreme_fcs_4,  count_extreme_fcs_5,
    count_extreme_fcs_6, count_extreme_fcs_7, count_extreme_fcs_8,  count_extreme_fcs_9,
    count_extreme_fcs_10, count_extreme_fcs_11, count_extreme_fcs_12,
};

uint64_t count_extreme_fcs(const count_pair *pair_list, size_t list_len, size_t pairs,
                           uint64_t *fcs_sampled, const observed_ratio &observed)
{
    if (pairs < 2 || pairs - 2 >= count_table_size) {
        *fcs_sampled = 0;
        return 0;
    }
    return count_extreme_fcs_table[pairs - 2](pair_list, list_len, fcs_sampled, observed);
}
