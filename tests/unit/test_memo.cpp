// Remembered exhaustive P-values must equal freshly counted ones, whatever
// order the count sets arrive in and however often they repeat.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "count_reference.h"
#include "pvalue.h"
#include "pvalue_test_util.h"

namespace {

double counted_directly(const std::vector<double> &c1, const std::vector<double> &c2)
{
    size_t p = c1.size();
    std::vector<double> a = c1, b = c2;
    adjust_zero_counts(a.data(), b.data(), p);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < p; ++i) {
        s1 += a[i];
        s2 += b[i];
    }
    const observed_ratio fc = observed_ratio_of(s1, s2);
    std::vector<count_pair> list = unshuffled_pair_list(a, b);
    uint64_t sampled = 0;
    uint64_t extreme = reference_count_exhaustive(list.data(), list.size(), static_cast<unsigned>(p),
                                                  &sampled, fc);
    return static_cast<double>(extreme) / static_cast<double>(sampled);
}

TEST(ExhaustiveMemo, RepeatedAndPermutedSetsGiveFreshCounts)
{
    std::mt19937_64 gen(42);
    std::vector<std::pair<std::vector<double>, std::vector<double>>> sets;
    for (int i = 0; i < 60; ++i) {
        size_t p = 2 + gen() % 3;
        std::vector<double> c1(p), c2(p);
        // Few distinct values, so sets repeat and collide; some halves, which
        // must not be remembered by the same key as their whole neighbours.
        // No lone zeros: their replacements make sums depend on the order of
        // addition, which the shuffle decides, and the oracle cannot follow.
        bool all_zero = i % 10 == 3;
        for (auto &v : c1)
            v = all_zero ? 0.0 : static_cast<double>(1 + gen() % 4) + (gen() % 5 == 0 ? 0.5 : 0.0);
        for (auto &v : c2)
            v = all_zero ? 0.0 : static_cast<double>(1 + gen() % 6);
        sets.emplace_back(c1, c2);
    }
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < sets.size(); ++i) {
            const auto &[c1, c2] = sets[(i * 7 + round) % sets.size()];
            std::vector<double> a = c1, b = c2;
            double got = near_exact_pval(a.data(), b.data(), a.size());
            EXPECT_EQ(counted_directly(c1, c2), got) << "set " << i << " round " << round;
            // Swapped conditions pool the same values under the same ratio:
            // the same P-value, whether remembered or not.
            a = c2;
            b = c1;
            EXPECT_EQ(got, near_exact_pval(a.data(), b.data(), a.size()));
            EXPECT_EQ(counted_directly(c2, c1), got);
        }
    }
}

}  // namespace
