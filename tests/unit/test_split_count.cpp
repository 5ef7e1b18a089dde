// Counting four pairs as pairs of pairs against the plain walk over every
// combination: the same above and below counts (compared through the trace
// line, which shows them apart), on lists made to sit on the bound's edges;
// the paths it takes asserted, and the calls it must leave to the walk.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "count_reference.h"
#include "pvalue.h"
#include "pvalue_test_util.h"
#include "split_count.h"

namespace {

struct paths_seen {
    int exact = 0, bounded = 0, with_rule = 0, refused = 0;
};

// Compares one call with the walk; returns false when the split count
// refused the call.
bool expect_split_matches(const std::vector<count_pair> &list, const observed_ratio &fc,
                          paths_seen &seen, const std::string &what)
{
    SCOPED_TRACE(testing::Message() << what << ", ratio " << std::hexfloat << fc.num << " / "
                                    << fc.den);
    split_counts got;
    bool taken = false;
    const std::string got_trace = traced([&] {
        taken = split_count_4(list.data(), list.size(), fc, true, got);
        if (taken)
            print_count_trace(fc.fc, got.above, 1.0 / fc.fc, got.below);
    });
    if (!taken) {
        ++seen.refused;
        return false;
    }
    uint64_t sampled = 0, want = 0;
    const std::string want_trace = traced(
        [&] { want = reference_count_exhaustive(list.data(), list.size(), 4, &sampled, fc); });
    EXPECT_EQ(got_trace, want_trace);
    EXPECT_EQ(got.above + got.below, want);
    // Without the split wanted, the sum is the same.
    split_counts sum;
    EXPECT_TRUE(split_count_4(list.data(), list.size(), fc, false, sum));
    EXPECT_EQ(sum.above + sum.below, want);
    ++(got.exact_keys ? seen.exact : seen.bounded);
    seen.with_rule += got.settled_by_rule > 0;
    return true;
}

// The pair list of two conditions of four counts, shuffled by g.
std::vector<count_pair> list_of(std::vector<double> c1, std::vector<double> c2, bool adjust,
                                std::mt19937_64 &g, observed_ratio &fc)
{
    if (adjust)
        adjust_zero_counts(c1.data(), c2.data(), 4);
    fc = observed_of(c1, c2);
    std::vector<count_pair> list = unshuffled_pair_list(c1, c2);
    std::shuffle(list.begin(), list.end(), g);
    return list;
}

TEST(SplitCount, MatchesTheWalkOnEveryKindOfCounts)
{
    std::mt19937_64 g(44);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    paths_seen seen;
    // Small and large whole numbers (ties by the thousand), zeros adjusted to
    // thousandths of a mean, fractions, one scale per condition from tiny to
    // huge, and a mixed list of fractions beside large counts.
    auto counts = [&](int family) {
        std::vector<double> c(4);
        const double scale = std::ldexp(1.0, static_cast<int>(pick(g, 600)) - 300);
        for (double &x : c) {
            switch (family) {
            case 0: x = static_cast<double>(pick(g, 5)); break;
            case 1: x = static_cast<double>(pick(g, 130)); break;
            case 2: x = static_cast<double>(pick(g, 100000)); break;
            case 3: x = pick(g, 3) ? static_cast<double>(pick(g, 40)) : 0.0; break;
            case 4: x = 100 * u(g); break;
            case 5: x = (1 + u(g)) * scale; break;
            default: x = pick(g, 2) ? 1e-6 * u(g) : 1e6 * u(g); break;
            }
        }
        return c;
    };
    for (int c = 0; c < 700; ++c) {
        const int family = static_cast<int>(pick(g, 7));
        observed_ratio fc;
        std::vector<count_pair> list =
            list_of(counts(family), counts(pick(g, 3) ? family : static_cast<int>(pick(g, 7))),
                    family == 3 || pick(g, 2), g, fc);
        // The observed ratio, the ratio of a combination of the list (a tie),
        // its reciprocal, or either one ulp away.
        std::vector<uint64_t> pos{0, 1, 2, 3};
        for (uint64_t &p : pos)
            p = pick(g, 14) * 4 + (&p - pos.data());
        std::sort(pos.begin(), pos.end());
        observed_ratio t = combination_ratio(list.data(), pos);
        if (t.num < t.den)
            t = ratio_of(t.den, t.num);
        const observed_ratio threshold = pick(g, 3) == 0 ? fc : pick_threshold(g, fc, t);
        expect_split_matches(list, threshold, seen, "family " + std::to_string(family));
    }
    // Rows of ones and twos with zeros replaced, as low counts are: tens of
    // thousands of splits in the band, which are counted, not left to the
    // walk.
    using row = std::pair<std::vector<double>, std::vector<double>>;
    for (const row &rw : {row{{0, 1, 0, 1}, {0, 1, 1, 1}}, row{{1, 1, 1, 1}, {0, 0, 0, 1}},
                          row{{2, 2, 1, 2}, {2, 2, 0, 1}}}) {
        const auto &[c1, c2] = rw;
        observed_ratio fc;
        const std::vector<count_pair> list = list_of(c1, c2, true, g, fc);
        split_counts got;
        ASSERT_TRUE(split_count_4(list.data(), list.size(), fc, true, got));
        EXPECT_GT(got.settled_by_rule, 20000u);
        EXPECT_TRUE(expect_split_matches(list, fc, seen, "replaced zeros, many ties"));
    }
    // Lists closed under swapping with more distinct values than a pair list
    // of 4 + 4 counts has: 28 records of fractions and their mirrors, or
    // with one record's mirror missing.
    for (int c = 0; c < 40; ++c) {
        std::vector<count_pair> list;
        for (int i = 0; i < 28; ++i) {
            const double f = 1 + static_cast<double>(pick(g, 6)) * 0.25 + (i % 2 == 0 ? u(g) : 0.0);
            const double s = 1 + static_cast<double>(pick(g, 6)) * 0.25;
            list.push_back({f, s});
            list.push_back({s, f});
        }
        std::shuffle(list.begin(), list.end(), g);
        observed_ratio t = combination_ratio(list.data(), {0, 1, 2, 3});
        if (t.num < t.den)
            t = ratio_of(t.den, t.num);
        EXPECT_TRUE(expect_split_matches(list, t, seen, "many distinct values"));
        list[pick(g, 56)].first += 0.5;
        split_counts out;
        EXPECT_FALSE(split_count_4(list.data(), list.size(), t, false, out));
    }
    // Both paths, and the rule deciding inside the band, must have been met.
    EXPECT_GT(seen.exact, 50);
    EXPECT_GT(seen.bounded, 50);
    EXPECT_GT(seen.with_rule, 50);
}

// Zeros the adjustment leaves (the other condition sums to 0): records (0,
// 0) whose combinations are 0 / 0 and count nowhere, and records with one
// zero, of fold change 0 or +infinity.  With equal sums both thresholds are
// 1, and without the trace every combination that is a number counts, which
// is known without counting; with it, lists of many ties may go to the walk.
TEST(SplitCount, ZerosLeftAndEqualSums)
{
    std::mt19937_64 g(3);
    paths_seen seen;
    int calls = 0;
    for (int c = 0; c < 60; ++c) {
        std::vector<double> c1(4, 0.0), c2(4);
        for (double &x : c2)
            x = pick(g, 2) ? 0.0 : static_cast<double>(1 + pick(g, 300));
        if (c2 == std::vector<double>(4, 0.0))
            c2[0] = 5;
        observed_ratio fc;
        std::vector<count_pair> list = list_of(c1, c2, true, g, fc);
        expect_split_matches(list, fc, seen, "zeros left");
        expect_split_matches(list, ratio_of_double(1.0), seen, "zeros left, ratio 1");
        std::vector<double> a = {static_cast<double>(pick(g, 9)), 2.5, 3, 4}, b = {4, 3, 2.5, a[0]};
        std::vector<count_pair> even = list_of(a, b, true, g, fc);
        EXPECT_EQ(fc.num, fc.den);
        expect_split_matches(even, fc, seen, "equal sums");
        calls += 3;
        for (const std::vector<count_pair> *l : {&list, &even}) {
            split_counts sum;
            uint64_t sampled = 0;
            ASSERT_TRUE(split_count_4(l->data(), l->size(), ratio_of_double(1.0), false, sum));
            EXPECT_EQ(sum.above + sum.below, reference_count_exhaustive(l->data(), l->size(), 4,
                                                                        &sampled, ratio_of_double(1.0)));
        }
    }
    // Many of these lists are so full of ties that they go to the walk; the
    // others must have been counted.
    EXPECT_GT(calls - seen.refused, 40);
}

// The 14, 8 against 23, 25 case at four pairs: the traced fold change one
// unit in the last place apart either way round, the ratio the same, and
// the same counts both ways; scaled to fractions, the bounded keys and the
// rule in their band give them too.
TEST(SplitCount, OneUlpReciprocal)
{
    std::mt19937_64 g(48);
    paths_seen seen;
    split_counts both[2];
    for (int swap = 0; swap < 2; ++swap) {
        std::vector<double> a{14, 8, 14, 8}, b{23, 25, 23, 25};
        observed_ratio fc;
        std::vector<count_pair> list = swap ? list_of(b, a, false, g, fc) : list_of(a, b, false, g, fc);
        EXPECT_TRUE(expect_split_matches(list, fc, seen, swap ? "swapped" : "plain"));
        ASSERT_TRUE(split_count_4(list.data(), list.size(), fc, true, both[swap]));
        for (count_pair &r : list)
            r = {r.first * 0.375, r.second * 0.375};
        fc = ratio_of(fc.num * 0.375, fc.den * 0.375);
        split_counts scaled;
        EXPECT_TRUE(expect_split_matches(list, fc, seen, "scaled"));
        ASSERT_TRUE(split_count_4(list.data(), list.size(), fc, true, scaled));
        EXPECT_FALSE(scaled.exact_keys);
        EXPECT_GT(scaled.settled_by_rule, 0u);
        EXPECT_EQ(scaled.above, both[swap].above);
        EXPECT_EQ(scaled.below, both[swap].below);
    }
    EXPECT_EQ(both[0].above, both[1].above);
    EXPECT_EQ(both[0].below, both[1].below);
    EXPECT_EQ(both[0].above, both[0].below);
}

// What the bound does not cover goes to the walk: values that are negative,
// -0, not finite, or out of range, thresholds below 1 or beyond 2^100, lists
// that are not closed under swapping first and second, too short or too long.
TEST(SplitCount, LeavesToTheWalkWhatTheBoundDoesNotCover)
{
    std::mt19937_64 g(9);
    observed_ratio fc;
    const std::vector<count_pair> good = list_of({1, 2, 3, 4}, {5, 6, 7, 9}, false, g, fc);
    split_counts out;
    ASSERT_TRUE(split_count_4(good.data(), good.size(), fc, false, out));
    for (double bad : {-1.0, -0.0, double{NAN}, double{INFINITY}, 0x1p401, 0x1p-401, 4.9e-324}) {
        std::vector<count_pair> list = good;
        for (count_pair &r : list) {
            if (r.first == 3.0)
                r.first = bad;
            if (r.second == 3.0)
                r.second = bad;
        }
        EXPECT_FALSE(split_count_4(list.data(), list.size(), fc, false, out)) << bad;
    }
    for (double t : {0.5, 0x1p101, double{NAN}, -2.0})
        EXPECT_FALSE(split_count_4(good.data(), good.size(), ratio_of_double(t), false, out)) << t;
    // Terms of the ratio out of range, and a ratio just below 1.
    for (const observed_ratio &r : {ratio_of(3.0, 0.0), ratio_of(-4.0, -2.0), ratio_of(0x1p401, 0x1p400),
                                    ratio_of(INFINITY, 1.0), ratio_of(7.0, std::nextafter(7.0, 8.0))})
        EXPECT_FALSE(split_count_4(good.data(), good.size(), r, false, out)) << r.num << " / " << r.den;
    // Below is counted on the mirror, so every list must hold every record's
    // mirror, whole numbers or not.
    std::vector<count_pair> lopsided = good;
    lopsided[0] = {lopsided[0].first + 1, lopsided[0].second};
    EXPECT_FALSE(split_count_4(lopsided.data(), lopsided.size(), fc, false, out));
    for (count_pair &r : lopsided)
        r = {r.first * 1000.5, r.second * 1000.5};
    EXPECT_FALSE(split_count_4(lopsided.data(), lopsided.size(), fc, false, out));
    EXPECT_FALSE(split_count_4(good.data(), 3, fc, false, out));
    std::vector<count_pair> longer = unshuffled_pair_list({1, 2, 3, 4, 5}, {6, 7, 8, 9, 10});
    EXPECT_FALSE(split_count_4(longer.data(), longer.size(), ratio_of_double(2.0), false, out));
    // A short list closed under swapping is counted.
    const std::vector<count_pair> short_list = unshuffled_pair_list({1, 2}, {3, 5});
    paths_seen seen;
    EXPECT_TRUE(expect_split_matches(short_list, ratio_of_double(2.0), seen, "12 records"));
}

}  // namespace
