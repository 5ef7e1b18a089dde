// Near-exact and Mann-Whitney P-values, zero adjustment, the trace, and the
// support routines they rest on (binomials, allocation, shuffle).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "count_reference.h"
#include "pvalue.h"
#include "pvalue_test_util.h"
#include "vp_alloc.h"
#include "vp_binomial.h"
#include "vp_random.h"
#include "vp_shuffle.h"

// The trace switch of this test program; tests that check the trace turn it on.
bool Debug = false;

namespace {

using counts = std::vector<double>;

double near_exact_on_copies(counts c1, counts c2)
{
    return near_exact_pval(c1.data(), c2.data(), c1.size());
}

bool same_bits(const counts &a, const counts &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Counts worked by hand for each example: above, below, combinations.
struct worked_case {
    counts c1, c2;
    uint64_t above, below, sampled;
};

const worked_case worked_cases[] = {
    {{1, 2}, {3, 4}, 6, 6, 66},
    {{10, 12, 9}, {101, 140, 123}, 46, 46, 4060},
    {{10, 12, 9, 11}, {20, 25, 22, 30}, 1237, 1237, 367290},
    // 48 / 22 ties exactly with some combinations, and still does with the
    // conditions swapped, though the traced 1 / (22 / 48) lies one ulp above.
    {{14, 8}, {23, 25}, 6, 6, 66},
    {{23, 25}, {14, 8}, 6, 6, 66},
    // The same at three pairs: 110 either way (not 56 + 56 one way round).
    {{4454, 5175, 6518}, {2, 2, 2}, 55, 55, 4060},
    {{2, 2, 2}, {4454, 5175, 6518}, 55, 55, 4060},
    // Equal sums: the thresholds are both 1 and every fold change counts.
    {{3, 1}, {1, 3}, 44, 22, 66},
    // All zeros become 1.0: every fold change is 1, all above.
    {{0, 0}, {0, 0}, 66, 0, 66},
};

TEST(NearExact, WorkedExamplesOnEveryCountingTable)
{
    isa_restorer restore;
    for (const worked_case &w : worked_cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&w - worked_cases));
        const size_t p = w.c1.size();
        counts c1 = w.c1, c2 = w.c2;
        adjust_zero_counts(c1.data(), c2.data(), p);
        const std::vector<count_pair> list = unshuffled_pair_list(c1, c2);
        const observed_ratio fc = observed_of(c1, c2);
        for (pvalue_isa isa : runnable_isas()) {
            SCOPED_TRACE(pvalue_isa_name(isa));
            ASSERT_TRUE(pvalue_force_isa(isa));
            uint64_t sampled = 0, extreme = 0;
            std::string line = traced(
                [&] { extreme = count_extreme_fcs(list.data(), list.size(), p, &sampled, fc); });
            EXPECT_EQ(sampled, w.sampled);
            EXPECT_EQ(extreme, w.above + w.below);
            EXPECT_EQ(line, count_trace_line(fc.fc, w.above, 1.0 / fc.fc, w.below));
        }
        EXPECT_EQ(near_exact_on_copies(w.c1, w.c2),
                  static_cast<double>(w.above + w.below) / static_cast<double>(w.sampled));
    }
}

TEST(ZeroAdjustment, EachZeroTakesAThousandthOfTheOtherMean)
{
    counts c1{1, 0, 3, 0, 5}, c2{0, 10, 0, 30, 0};
    std::string trace = traced([&] { adjust_zero_counts(c1.data(), c2.data(), 5); });
    const double r1 = 9.0 / 5 / 1000, r2 = 40.0 / 5 / 1000;
    EXPECT_TRUE(same_bits(c1, {1, r2, 3, r2, 5}));
    EXPECT_TRUE(same_bits(c2, {r1, 10, r1, 30, r1}));
    EXPECT_EQ(trace, "Adjusted counts:\n"
                     "1.000000 0.001800\n0.008000 10.000000\n3.000000 0.001800\n"
                     "0.008000 30.000000\n5.000000 0.001800\n");

    counts a{0, 0}, b{6, 2};
    adjust_zero_counts(a.data(), b.data(), 2);
    EXPECT_TRUE(same_bits(a, {8.0 / 2 / 1000, 8.0 / 2 / 1000}));
    EXPECT_TRUE(same_bits(b, {6, 2}));

    // One condition summing to zero leaves the other's zeros at zero.
    counts d{0, 5}, e{0, 0};
    adjust_zero_counts(d.data(), e.data(), 2);
    EXPECT_TRUE(same_bits(d, {0, 5}));
    EXPECT_TRUE(same_bits(e, {5.0 / 2 / 1000, 5.0 / 2 / 1000}));

    // The mean is divided by 1000, not the sum by 1000 p: 1 / 7 / 1000 and
    // 1 / 7000 differ in the last bit.
    counts h{1, 0, 0, 0, 0, 0, 0}, k{0, 2, 0, 0, 0, 0, 0};
    adjust_zero_counts(h.data(), k.data(), 7);
    EXPECT_EQ(h[1], 2.0 / 7 / 1000);
    EXPECT_EQ(k[0], 1.0 / 7 / 1000);

    // Adjusting again changes nothing once no zero is left.
    counts f = c1, g = c2;
    adjust_zero_counts(f.data(), g.data(), 5);
    EXPECT_TRUE(same_bits(f, c1));
    EXPECT_TRUE(same_bits(g, c2));
}

TEST(ZeroAdjustment, NegativeZeroIsZeroNaNIsNot)
{
    counts c1{-0.0, 4}, c2{6, 2};
    adjust_zero_counts(c1.data(), c2.data(), 2);
    EXPECT_TRUE(same_bits(c1, {8.0 / 2 / 1000, 4}));

    counts nan1{NAN, 4}, plain2{1, 2};
    adjust_zero_counts(nan1.data(), plain2.data(), 2);
    EXPECT_TRUE(std::isnan(nan1[0]));
    EXPECT_TRUE(same_bits(plain2, {1, 2}));

    // Sums of signed zeros are zero: every entry becomes 1.0.
    counts z1{-0.0, 0.0}, z2{0.0, -0.0};
    adjust_zero_counts(z1.data(), z2.data(), 2);
    EXPECT_TRUE(same_bits(z1, {1, 1}));
    EXPECT_TRUE(same_bits(z2, {1, 1}));
}

TEST(NearExact, ZeroReplacementFeedsTheObservedFoldChange)
{
    counts c1{10, 20}, c2{0, 0};
    std::string trace = traced([&] { near_exact_pval(c1.data(), c2.data(), 2); });
    EXPECT_TRUE(same_bits(c2, {30.0 / 2 / 1000, 30.0 / 2 / 1000}));
    EXPECT_NE(trace.find("Observed: FC = 1000.000  1 / Observed FC = 0.001\n"), std::string::npos)
        << trace;

    // The P-value is that of the reference kernel on the adjusted counts.
    const std::vector<count_pair> list = unshuffled_pair_list(c1, c2);
    uint64_t sampled = 0;
    uint64_t extreme = reference_count_exhaustive(list.data(), list.size(), 2, &sampled,
                                                  observed_of(c1, c2));
    EXPECT_EQ(near_exact_on_copies({10, 20}, {0, 0}),
              static_cast<double>(extreme) / static_cast<double>(sampled));
}

TEST(NearExact, OutsideTheMethodReturnsOneAndTouchesNothing)
{
    counts c1(13, 0.0), c2(13, 5.0);
    c1[3] = 7;
    const counts k1 = c1, k2 = c2;
    testing::internal::CaptureStderr();
    std::string out = traced([&] { EXPECT_EQ(near_exact_pval(c1.data(), c2.data(), 13), 1.0); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "near_exact_pval(): Use mann_whitney_pval() for reps > 12.\n");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(same_bits(c1, k1));
    EXPECT_TRUE(same_bits(c2, k2));

    // One pair has no counting function: neutral, zeros stay zero, no trace.
    counts o1{0}, o2{4};
    out = traced([&] { EXPECT_EQ(near_exact_pval(o1.data(), o2.data(), 1), 1.0); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(same_bits(o1, {0}));

    // No pairs: only the adjustment header.
    double none = 0;
    out = traced([&] { EXPECT_EQ(near_exact_pval(&none, &none, 0), 1.0); });
    EXPECT_EQ(out, "Adjusted counts:\n");
}

// Splits a near_exact_pval trace into what precedes the record lines, the
// records (each line checked against its format), and what follows.
struct split_trace {
    std::string head, tail;
    std::vector<count_pair> records;
};

split_trace split_records(const std::string &trace, size_t list_len)
{
    split_trace out;
    const std::string marker = "2 ordered pairs for each combination:\n";
    size_t at = trace.find(marker);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no record header in\n" << trace;
        return out;
    }
    at += marker.size();
    out.head = trace.substr(0, at);
    for (size_t i = 0; i < list_len; ++i) {
        size_t end = trace.find('\n', at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "trace ends after " << i << " records";
            return out;
        }
        std::string line = trace.substr(at, end + 1 - at);
        unsigned long n = 0;
        count_pair r{};
        EXPECT_EQ(std::sscanf(line.c_str(), "%lu %lf, %lf", &n, &r.first, &r.second), 3) << line;
        char want[128];
        std::snprintf(want, sizeof want, "%2lu %3.0f, %3.0f   FC = %0.3f\n",
                      static_cast<unsigned long>(i), r.first, r.second, r.first / r.second);
        EXPECT_EQ(line, want);
        out.records.push_back(r);
        at = end + 1;
    }
    out.tail = trace.substr(at);
    return out;
}

std::multiset<std::pair<double, double>> as_multiset(const std::vector<count_pair> &list)
{
    std::multiset<std::pair<double, double>> m;
    for (const count_pair &r : list)
        m.insert({r.first, r.second});
    return m;
}

TEST(NearExactTrace, TwoPairs)
{
    counts c1{1, 2}, c2{3, 4};
    double p = 0;
    split_trace t = split_records(traced([&] { p = near_exact_pval(c1.data(), c2.data(), 2); }), 12);
    EXPECT_EQ(p, 12.0 / 66.0);
    EXPECT_EQ(t.head, "Adjusted counts:\n1.000000 3.000000\n2.000000 4.000000\n"
                      "Observed: FC = 2.333  1 / Observed FC = 0.429\n"
                      "\n4 choose 2 = 6 combinations of counts\n"
                      "2 ordered pairs for each combination:\n");
    EXPECT_EQ(as_multiset(t.records), as_multiset(unshuffled_pair_list(c1, c2)));
    EXPECT_EQ(t.tail, "\n12 choose 2 = 66 possible FCs from 2 pairs.\n"
                      "P-value = likelihood of FC from 2 pairs >= 2.333 or <= 0.429\n\n"
                      "FCs > 2.333 = 6         FCs < 0.429 = 6    \n"
                      "Pass 0: FCs sampled = 66  P-value = 12 / 66 = 0.182\n\n"
                      "P-value span = 0.000\n\n");
}

// Five pairs: five passes, each the reference walk on the traced list order,
// continuing one generator sequence.
TEST(NearExactTrace, FivePairsRunFivePassesAndTheSpan)
{
    counts c1{3, 1, 4, 1, 5}, c2{9, 2, 6, 5, 3};
    const unsigned seed = 4242;
    vp_srandom(seed);
    double p = 0;
    split_trace t = split_records(traced([&] { p = near_exact_pval(c1.data(), c2.data(), 5); }), 90);
    ASSERT_EQ(t.records.size(), 90u);
    EXPECT_EQ(t.head, "Adjusted counts:\n3.000000 9.000000\n1.000000 2.000000\n"
                      "4.000000 6.000000\n1.000000 5.000000\n5.000000 3.000000\n"
                      "Observed: FC = 1.786  1 / Observed FC = 0.560\n"
                      "\n10 choose 2 = 45 combinations of counts\n"
                      "2 ordered pairs for each combination:\n");
    EXPECT_EQ(as_multiset(t.records), as_multiset(unshuffled_pair_list(c1, c2)));

    const observed_ratio fc = observed_ratio_of(14.0, 25.0);
    std::string want = "\n90 choose 5 = 43949268 possible FCs from 5 pairs.\n"
                       "P-value = likelihood of FC from 5 pairs >= 1.786 or <= 0.560\n\n";
    srandom(seed);
    double sum = 0, max = 0, min = 1;
    char buf[160];
    for (unsigned long i = 0; i < 5; ++i) {
        uint64_t sampled = 0, extreme = 0;
        want += traced([&] {
            extreme = reference_count_table[5 - 2](t.records.data(), 90, &sampled, fc);
        });
        // A sampled pass counts the observed combination once more in both.
        const double pi = static_cast<double>(extreme + 1) / static_cast<double>(sampled + 1);
        std::snprintf(buf, sizeof buf, "Pass %lu: FCs sampled = %lu  P-value = %lu / %lu = %0.3f\n\n",
                      i, static_cast<unsigned long>(sampled), static_cast<unsigned long>(extreme + 1),
                      static_cast<unsigned long>(sampled + 1), pi);
        want += buf;
        sum += pi;
        max = std::max(max, pi);
        min = std::min(min, pi);
    }
    std::snprintf(buf, sizeof buf, "P-value span = %0.3f\n\n", max - min);
    want += buf;
    EXPECT_EQ(t.tail, want);
    EXPECT_EQ(p, sum / 5);
}

// The number of possible fold changes is stated up to ten pairs, 0 beyond.
TEST(NearExactTrace, PossibleFoldChangesUpToTenPairs)
{
    const std::vector<count_pair> list(30, count_pair{1.0, 2.0});
    std::string ten = traced([&] { near_exact_pval_passes(list.data(), 30, 10, ratio_of_double(2.0)); });
    std::string eleven = traced([&] { near_exact_pval_passes(list.data(), 30, 11, ratio_of_double(2.0)); });
    EXPECT_EQ(ten.rfind("\n30 choose 10 = 30045015 possible FCs from 10 pairs.\n", 0), 0u) << ten;
    EXPECT_EQ(eleven.rfind("\n30 choose 11 = 0 possible FCs from 11 pairs.\n", 0), 0u) << eleven;
}

double mann_whitney_by_hand(double u, size_t len1, size_t len2)
{
    const double n = static_cast<double>(len1 * len2);
    const double umin = std::min(u, n - u);
    const double z = (umin - n * 0.5) / std::sqrt((static_cast<double>(len1 + len2) + 1) * n / 12);
    return ((std::erf(z / 1.4142135623730951) + 1) * 0.5) * 2;
}

TEST(MannWhitney, WorkedValues)
{
    counts low, high;
    for (int i = 1; i <= 8; ++i) {
        low.push_back(i);
        high.push_back(i + 8);
    }
    EXPECT_EQ(mann_whitney_pval(low.data(), high.data(), 7, 8), 1.0);
    EXPECT_EQ(mann_whitney_pval(low.data(), high.data(), 8, 7), 1.0);

    const double p = mann_whitney_pval(low.data(), high.data(), 8, 8);
    EXPECT_NEAR(p, 0.0007775304469404, 1e-16);
    EXPECT_EQ(p, mann_whitney_by_hand(0, 8, 8));
    EXPECT_EQ(mann_whitney_pval(high.data(), low.data(), 8, 8), p);  // U = 64

    counts same(8, 5.0);
    EXPECT_EQ(mann_whitney_pval(same.data(), same.data(), 8, 8), 1.0);

    // Ties and NaN count one half each: U = 8 * 0.5 + 7 * 7.5 = 56.5 of 64.
    counts ones(7, 1.0);
    ones.push_back(NAN);
    EXPECT_EQ(mann_whitney_pval(low.data(), ones.data(), 8, 8), mann_whitney_by_hand(56.5, 8, 8));

    // Unequal lengths: 1..8 against 9..17.
    counts longer = high;
    longer.push_back(17);
    EXPECT_EQ(mann_whitney_pval(low.data(), longer.data(), 8, 9), mann_whitney_by_hand(0, 8, 9));
}

// U counted from ranks is U counted pair by pair, so the P-value is the same
// to the bit: ties, NaN on either side, infinities, zeros of both signs,
// unequal and large lengths.
TEST(MannWhitney, RanksGiveTheUOfThePairs)
{
    std::mt19937_64 g(8);
    const double specials[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 1.0, 1e300, -1e-300};
    for (int c = 0; c < 400; ++c) {
        const size_t len1 = 8 + pick(g, c % 10 == 0 ? 300 : 20);
        const size_t len2 = 8 + pick(g, c % 10 == 1 ? 300 : 20);
        const size_t family = pick(g, 4);
        auto value = [&]() {
            switch (family) {
            case 0: return static_cast<double>(pick(g, 4));
            case 1: return pick(g, 4) ? static_cast<double>(pick(g, 1000)) : specials[pick(g, 8)];
            case 2: return std::uniform_real_distribution<double>(-5, 5)(g);
            default: return specials[pick(g, 8)];
            }
        };
        counts a(len1), b(len2);
        for (double &x : a)
            x = value();
        for (double &x : b)
            x = value();
        const double u = mann_whitney_u_by_pairs(a.data(), b.data(), len1, len2);
        EXPECT_EQ(mann_whitney_pval(a.data(), b.data(), len1, len2),
                  mann_whitney_by_hand(u, len1, len2))
            << "case " << c << ", U " << u;
    }
    // 1,000 against 1,000 with many ties.
    counts a(1000), b(1000);
    for (double &x : a)
        x = static_cast<double>(pick(g, 50));
    for (double &x : b)
        x = static_cast<double>(pick(g, 60));
    EXPECT_EQ(mann_whitney_pval(a.data(), b.data(), 1000, 1000),
              mann_whitney_by_hand(mann_whitney_u_by_pairs(a.data(), b.data(), 1000, 1000), 1000,
                                   1000));
}

TEST(Support, ChooseMatchesPascalsTriangle)
{
    constexpr unsigned max_n = 600, max_k = 12;
    std::vector<std::vector<unsigned __int128>> c(max_n + 1,
                                                  std::vector<unsigned __int128>(max_k + 1, 0));
    for (unsigned n = 0; n <= max_n; ++n) {
        c[n][0] = 1;
        for (unsigned k = 1; k <= max_k && n > 0; ++k)
            c[n][k] = c[n - 1][k - 1] + c[n - 1][k];
    }
    const unsigned __int128 u64_max = UINT64_MAX;
    for (unsigned n = 0; n <= max_n; ++n)
        for (unsigned k = 0; k <= max_k; ++k) {
            uint64_t want = c[n][k] > u64_max ? UINT64_MAX : static_cast<uint64_t>(c[n][k]);
            ASSERT_EQ(vp_n_choose_k(n, k), want) << n << " choose " << k;
            if (k <= n) {
                ASSERT_EQ(vp_n_choose_k(n, n - k), want) << n << " choose " << n - k;
            }
        }
    // The largest the trace asks for (ten pairs), beyond the signed range.
    EXPECT_EQ(vp_n_choose_k(380, 10), static_cast<uint64_t>(c[380][10]));
}

TEST(Support, MallocRefusesOverflowingProducts)
{
    EXPECT_EQ(vp_malloc(SIZE_MAX / 16 + 1, 16), nullptr);
    EXPECT_EQ(vp_malloc(SIZE_MAX, 2), nullptr);
    EXPECT_EQ(vp_malloc(2, SIZE_MAX / 2 + 1), nullptr);
    void *block = vp_malloc(552, sizeof(count_pair));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0, 552 * sizeof(count_pair));
    vp_free(block);
}

TEST(Support, ShuffleKeepsEveryRecord)
{
    for (size_t size : {size_t{16}, size_t{1}, size_t{100}}) {
        for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{552}}) {
            std::vector<unsigned char> bytes(count * size);
            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<unsigned char>(i / size * 7 + i % size);
            std::multiset<std::vector<unsigned char>> before, after;
            for (size_t i = 0; i < count; ++i)
                before.insert({bytes.begin() + i * size, bytes.begin() + (i + 1) * size});
            vp_shuffle(bytes.data(), count, size);
            for (size_t i = 0; i < count; ++i)
                after.insert({bytes.begin() + i * size, bytes.begin() + (i + 1) * size});
            EXPECT_EQ(before, after) << count << " records of " << size;
        }
    }
}

// The order of ranks that a shuffle gives four distinct records.
std::vector<int> rank_order(const std::vector<count_pair> &records)
{
    std::vector<count_pair> sorted(records);
    std::sort(sorted.begin(), sorted.end(),
              [](const count_pair &a, const count_pair &b) { return a.first < b.first; });
    std::vector<int> ranks;
    for (const count_pair &r : records)
        for (size_t k = 0; k < sorted.size(); ++k)
            if (sorted[k].first == r.first)
                ranks.push_back(static_cast<int>(k));
    return ranks;
}

TEST(Support, ShuffleIsAFunctionOfTheContent)
{
    std::mt19937_64 g(5);
    std::uniform_real_distribution<double> u(0.0, 100.0);
    for (size_t count : {size_t{2}, size_t{12}, size_t{56}, size_t{552}}) {
        // Repeated values too: a multiset, not a set.
        std::vector<count_pair> records(count);
        for (count_pair &r : records)
            r = {std::floor(u(g) / 10.0), u(g)};
        std::vector<count_pair> a(records), b(records);
        std::shuffle(b.begin(), b.end(), g);
        // Whatever was shuffled in between.
        std::vector<count_pair> other(records.begin(), records.begin() + count / 2);
        vp_shuffle(a.data(), a.size(), sizeof(count_pair));
        vp_shuffle(other.data(), other.size(), sizeof(count_pair));
        vp_shuffle(b.data(), b.size(), sizeof(count_pair));
        EXPECT_EQ(std::memcmp(a.data(), b.data(), count * sizeof(count_pair)), 0) << count;
    }
    // Other record sizes take the same canonical order.
    std::vector<unsigned char> x{9, 1, 5, 3, 7, 3, 2}, y{3, 7, 2, 9, 3, 5, 1};
    vp_shuffle(x.data(), x.size(), 1);
    vp_shuffle(y.data(), y.size(), 1);
    EXPECT_EQ(x, y);
}

TEST(Support, ShuffleDiffersWithTheContentAndIsRoughlyUniform)
{
    // Four distinct records of 24,000 different contents: the order of their
    // ranks takes each of the 24 orders about equally often (chi-square with
    // 23 degrees of freedom, which a uniform shuffle exceeds 70 with
    // probability about 1e-6), so different contents get different
    // permutations.
    std::map<std::vector<int>, int> seen;
    constexpr int rounds = 24000;
    for (int r = 0; r < rounds; ++r) {
        std::vector<count_pair> v;
        for (int k = 0; k < 4; ++k)
            v.push_back({static_cast<double>(r * 4 + k), 1.0});
        vp_shuffle(v.data(), v.size(), sizeof(count_pair));
        ++seen[rank_order(v)];
    }
    ASSERT_EQ(seen.size(), 24u);
    double chi2 = 0;
    for (const auto &[order, n] : seen)
        chi2 += (n - 1000.0) * (n - 1000.0) / 1000.0;
    EXPECT_LT(chi2, 70.0);
}

TEST(Support, ShuffleLeavesTheSharedGeneratorsAlone)
{
    std::vector<count_pair> list = unshuffled_pair_list({1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12});
    srandom(7);
    vp_srandom(7);
    std::vector<long> libc_plain, vp_plain, libc_after, vp_after;
    for (int i = 0; i < 50; ++i) {
        libc_plain.push_back(random());
        vp_plain.push_back(vp_random());
    }
    srandom(7);
    vp_srandom(7);
    vp_shuffle(list.data(), list.size(), sizeof(count_pair));
    for (int i = 0; i < 50; ++i) {
        libc_after.push_back(random());
        vp_after.push_back(vp_random());
    }
    EXPECT_EQ(libc_plain, libc_after);
    EXPECT_EQ(vp_plain, vp_after);
}

}  // namespace
