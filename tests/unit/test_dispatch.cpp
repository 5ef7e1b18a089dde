// The choice of the counting table: the widest one the CPU runs, asked of the
// CPU here directly rather than through the library; every runnable table can
// be forced, and one the CPU cannot run is refused without effect.

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "count_reference.h"
#include "kernels.h"
#include "pvalue_test_util.h"

namespace {

TEST(Dispatch, BestTableIsTheWidestTheCpuReports)
{
    __builtin_cpu_init();
    const bool avx512f = __builtin_cpu_supports("avx512f");
    const bool avx2 = __builtin_cpu_supports("avx2");
    const pvalue_isa best = pvalue_best_isa();
    if (avx512f) {
        EXPECT_EQ(best, pvalue_isa_avx512);
    } else {
        EXPECT_NE(best, pvalue_isa_avx512);
    }
    if (!avx512f && !avx2) {
        EXPECT_EQ(best, pvalue_isa_scalar);
    }
    EXPECT_NE(best, pvalue_isa_reference);
}

TEST(Dispatch, TableInUseBeforeAnyForcing)
{
#ifdef DRANVEL_REFERENCE_KERNELS
    EXPECT_EQ(pvalue_active_isa(), pvalue_isa_reference);
#else
    EXPECT_EQ(pvalue_active_isa(), pvalue_best_isa());
#endif
}

TEST(Dispatch, EveryRunnableTableCanBeForced)
{
    isa_restorer restore;
    const std::vector<pvalue_isa> isas = runnable_isas();
    std::set<const count_fn *> tables;
    for (pvalue_isa isa : isas) {
        SCOPED_TRACE(pvalue_isa_name(isa));
        ASSERT_TRUE(pvalue_force_isa(isa));
        EXPECT_EQ(pvalue_active_isa(), isa);
        tables.insert(pvalue_isa_table(isa));
        EXPECT_EQ(pvalue_isa_table(isa) == reference_count_table, isa == pvalue_isa_reference);
    }
    EXPECT_EQ(tables.size(), isas.size()) << "two instruction sets share one table";
}

TEST(Dispatch, ATableTheCpuCannotRunIsRefused)
{
    isa_restorer restore;
    ASSERT_TRUE(pvalue_force_isa(pvalue_isa_scalar));
    std::vector<pvalue_isa> refused{static_cast<pvalue_isa>(pvalue_isa_reference + 1)};
    for (pvalue_isa isa : {pvalue_isa_avx2, pvalue_isa_avx512})
        if (isa > pvalue_best_isa())
            refused.push_back(isa);
    for (pvalue_isa isa : refused) {
        SCOPED_TRACE(static_cast<int>(isa));
        EXPECT_FALSE(pvalue_force_isa(isa));
        EXPECT_EQ(pvalue_active_isa(), pvalue_isa_scalar);
    }
}

}  // namespace
