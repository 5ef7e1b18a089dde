// Every counting table this machine runs (scalar, AVX2, AVX-512), reached
// through count_extreme_fcs, against the plain reference members: the same
// result, the same sampled count, the same above/below split in the trace,
// the same number of draws, and the list left as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "count_reference.h"
#include "kernels.h"
#include "pvalue_test_util.h"
#include "sampled_params.h"
#include "vp_random.h"

namespace {

struct load {
    unsigned pairs;
    int cases;
};

// Cases per member, fewer where the reference walk is expensive.
constexpr load loads[] = {{2, 400}, {3, 200}, {4, 30}, {5, 16}, {6, 12}, {7, 10},
                          {8, 8},   {9, 5},   {10, 4}, {11, 3}, {12, 3}};

class KernelEquivalence : public testing::TestWithParam<load> {};

TEST_P(KernelEquivalence, EveryTableMatchesTheReference)
{
    const unsigned p = GetParam().pairs;
    const bool sampled_member = p >= 5;
    const unsigned stride = sampled_member ? sampled_params_for(p).stride : 0;
    isa_restorer restore;
    const std::vector<pvalue_isa> isas = production_isas();
    std::string names;
    for (pvalue_isa isa : isas)
        names += std::string(names.empty() ? "" : " ") + pvalue_isa_name(isa);
    RecordProperty("tables", names);
    if (p == 2)
        std::printf("counting tables under test: %s\n", names.c_str());

    std::mt19937_64 g(1000 + p);
    for (int c = 0; c < GetParam().cases; ++c) {
        random_list r = make_random_list(g, p);
        // Exhaustive members: mostly the real length, sometimes any other up
        // to a few beyond the longest pair list.  Sampled members: the real
        // length first, then shorter ones.
        uint64_t n = r.list.size();
        if (!sampled_member && c % 4 == 3)
            n = pick(g, 61);
        else if (sampled_member && c > 0)
            n = pick(g, n + 1);
        while (r.list.size() < n) {
            const count_pair extra = r.list[pick(g, r.list.size())];
            r.list.push_back(extra);
        }
        const unsigned seed = static_cast<unsigned>(g());

        // The fold change of one examined combination, to tie with.
        std::vector<uint64_t> pos;
        if (sampled_member) {
            srandom(seed);
            pos.push_back(0);
            while (pos.size() < p)
                pos.push_back(pos.back() + 1 + static_cast<uint64_t>(random()) % stride);
            while (pos.back() + stride < n && pick(g, 2))
                pos.back() += stride;
        } else if (n >= p) {
            while (pos.size() < p) {
                uint64_t q = pick(g, n);
                if (std::find(pos.begin(), pos.end(), q) == pos.end())
                    pos.push_back(q);
            }
            std::sort(pos.begin(), pos.end());
        }
        const bool have_t = !pos.empty() && pos.back() < n;
        const observed_ratio t = have_t ? combination_ratio(r.list.data(), pos) : r.observed;
        const observed_ratio fc = pick_threshold(g, r.observed, t);

        SCOPED_TRACE(testing::Message() << p << " pairs, case " << c << ", n " << n << ", seed "
                                        << seed << ", ratio " << std::hexfloat << fc.num << " / "
                                        << fc.den);
        const std::vector<count_pair> before(r.list);

        uint64_t want_sampled = 0, want = 0;
        srandom(seed);
        std::string want_trace = traced([&] {
            want = reference_count_table[p - 2](r.list.data(), n, &want_sampled, fc);
        });
        const long want_next = random();

        for (pvalue_isa isa : isas) {
            SCOPED_TRACE(pvalue_isa_name(isa));
            ASSERT_TRUE(pvalue_force_isa(isa));
            uint64_t got_sampled = 0, got = 0;
            vp_srandom(seed);
            std::string got_trace = traced(
                [&] { got = count_extreme_fcs(r.list.data(), n, p, &got_sampled, fc); });
            EXPECT_EQ(got, want);
            EXPECT_EQ(got_sampled, want_sampled);
            EXPECT_EQ(got_trace, want_trace);
            EXPECT_EQ(vp_random(), want_next) << "a different number of draws";
            EXPECT_EQ(std::memcmp(before.data(), r.list.data(), n * sizeof(count_pair)), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Members, KernelEquivalence, testing::ValuesIn(loads),
                         [](const testing::TestParamInfo<load> &info) {
                             return std::to_string(info.param.pairs) + "_pairs";
                         });

}  // namespace
