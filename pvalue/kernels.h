#ifndef PVALUE_KERNELS_H
#define PVALUE_KERNELS_H

#include <array>

#include "pvalue.h"

// The production counting members exist once per instruction set; the table
// in use is chosen once, from what the CPU supports.  Every table gives
// exactly the counts of the reference members.
enum pvalue_isa : int {
    pvalue_isa_scalar = 0,
    pvalue_isa_avx2 = 1,
    pvalue_isa_avx512 = 2,
    pvalue_isa_reference = 3,  // the plain reference members
};

// Members 2 to 12 of one instruction set, entry pairs - 2.
using count_table = std::array<count_fn, count_table_size>;
extern const count_table scalar_count_table;
extern const count_table avx2_count_table;
extern const count_table avx512_count_table;

// The best instruction set this CPU runs (never pvalue_isa_reference).
pvalue_isa pvalue_best_isa();
// The instruction set whose table count_extreme_fcs uses now.
pvalue_isa pvalue_active_isa();
// For tests and benchmarks: make count_extreme_fcs use another table.  Returns
// false, changing nothing, if the CPU cannot run it.  The programs never call
// it; reference builds always use the reference table.
bool pvalue_force_isa(pvalue_isa isa);
// The table an instruction set uses.
const count_fn *pvalue_isa_table(pvalue_isa isa);
const char *pvalue_isa_name(pvalue_isa isa);

#endif
