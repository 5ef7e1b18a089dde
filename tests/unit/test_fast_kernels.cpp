// The vector kernels' division-free comparisons (fc_filter.h) against the
// plain reference members, on lists built to sit on the edges of the filter:
// observed ratios exactly equal to a combination's, ratios a few units in the
// last place away from it, the one-ulp reciprocal case, huge and tiny magnitudes, subnormals, zeros, negative values, NaN and
// infinity.  Every instruction set this machine runs is compared, each from
// the same generator state as the reference (vp_srandom for production,
// srandom for the reference), on the result, the sampled count and the trace
// line, which shows the above and below counts separately.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "count_reference.h"
#include "exact_ratio.h"
#include "fc_filter.h"
#include "pvalue_test_util.h"
#include "kernels.h"
#include "pvalue.h"
#include "sampled_params.h"
#include "vp_random.h"

namespace {

struct fast_case {
    std::string name;
    std::vector<count_pair> list;
    observed_ratio observed;
};

// The pair list of near_exact_pval for two conditions, shuffled by g.
std::vector<count_pair> pair_list_of(const std::vector<double> &c1, const std::vector<double> &c2,
                                     std::mt19937_64 &g)
{
    std::vector<count_pair> list = unshuffled_pair_list(c1, c2);
    std::shuffle(list.begin(), list.end(), g);
    return list;
}

// The ratio of the combination at positions 0, 1, ..., k - 1 shifted by
// `from`, summed in position order as every member sums.
observed_ratio combination_at(const std::vector<count_pair> &list, size_t from, unsigned k)
{
    std::vector<uint64_t> pos;
    for (unsigned i = 0; i < k; ++i)
        pos.push_back(from + i);
    return combination_ratio(list.data(), pos);
}

// Recorded beside the modes: a list counted in the one-band mode while S1 can
// be 0.
constexpr fc_mode one_band_zero_first = static_cast<fc_mode>(100);

struct outcome {
    uint64_t extreme = 0;
    uint64_t sampled = 0;
    std::string trace;
};

// One call from the given generator state; with the trace switched on the
// trace line is kept too (the kernels count above and below apart only then).
outcome run_table(const count_fn *table, bool reference, const fast_case &c, uint64_t n,
                  unsigned pairs, unsigned seed, bool trace)
{
    if (reference)
        srandom(seed);
    else
        vp_srandom(seed);
    outcome o;
    if (trace) {
        testing::internal::CaptureStdout();
        Debug = true;
    }
    o.extreme = table[pairs - 2](c.list.data(), n, &o.sampled, c.observed);
    if (trace) {
        Debug = false;
        o.trace = testing::internal::GetCapturedStdout();
    }
    return o;
}

// Compares every production table with the reference for one case, member
// and list length; records which filter mode the case exercised.
void expect_same(const fast_case &c, unsigned pairs, uint64_t n, unsigned seed,
                 std::set<fc_mode> &modes)
{
    SCOPED_TRACE(testing::Message() << c.name << ", " << pairs << " pairs, n " << n
                                    << ", observed " << std::hexfloat << c.observed.num << " / "
                                    << c.observed.den);
    const ratio_bounds b = bounds_of(c.observed);
    const fc_filter flt = make_fc_filter(c.list.data(), n, pairs, b.above_hi, b.below_lo,
                                         c.observed.num, c.observed.den);
    modes.insert(flt.mode);
    if (flt.mode == fc_mode::one_band && flt.zero_first)
        modes.insert(one_band_zero_first);
    const outcome want = run_table(reference_count_table, true, c, n, pairs, seed, true);
    for (pvalue_isa isa : production_isas()) {
        SCOPED_TRACE(pvalue_isa_name(isa));
        const outcome got = run_table(pvalue_isa_table(isa), false, c, n, pairs, seed, true);
        EXPECT_EQ(got.extreme, want.extreme);
        EXPECT_EQ(got.sampled, want.sampled);
        EXPECT_EQ(got.trace, want.trace);
        const outcome quiet = run_table(pvalue_isa_table(isa), false, c, n, pairs, seed, false);
        EXPECT_EQ(quiet.extreme, want.extreme) << "without the trace";
        EXPECT_EQ(quiet.sampled, want.sampled) << "without the trace";
    }
}

// List lengths to try for a member: the full list for the exhaustive members,
// and for the sampled ones the full list only where asked (they are costly)
// and otherwise a shorter prefix, which still fills several vectors.
std::vector<uint64_t> lengths_for(unsigned pairs, uint64_t len, bool full_sampled)
{
    if (pairs <= 4)
        return {len};
    std::vector<uint64_t> ns{std::min<uint64_t>(len, 3 * pairs + 7)};
    if (full_sampled)
        ns.push_back(len);
    return ns;
}

// Counts of one condition: small whole numbers (many exact ties), larger whole
// numbers, zero-adjusted values (thousandths of a mean), or a scaled family.
std::vector<double> counts_of(std::mt19937_64 &g, unsigned p, int family, double scale)
{
    std::vector<double> c(p);
    std::uniform_int_distribution<int> small(0, 6), wide(1, 5000);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    for (double &x : c) {
        switch (family) {
        case 0: x = small(g) + 1; break;
        case 1: x = wide(g); break;
        case 2: x = small(g) == 0 ? 12.0 / p / 1000.0 : small(g) + 1; break;
        default: x = std::ldexp(u(g), 0) * scale; break;
        }
    }
    return c;
}

// Ratios placed on a combination's, on its reciprocal, and a few units in
// the last place either side (of the numerator, and of the rounded quotient
// as a ratio of one double), with whole-number and fractional counts: the
// cases where an exact tie decides.
TEST(FastKernels, ThresholdsOnAndNextToCombinations)
{
    std::mt19937_64 g(515);
    std::set<fc_mode> modes;
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        const int families = 3;
        for (int fam = 0; fam < families; ++fam) {
            std::vector<double> c1 = counts_of(g, pairs, fam, 1.0);
            std::vector<double> c2 = counts_of(g, pairs, fam, 1.0);
            fast_case base{"family " + std::to_string(fam), pair_list_of(c1, c2, g),
                           observed_of(c1, c2)};
            const uint64_t len = base.list.size();
            std::vector<observed_ratio> thresholds{base.observed};
            observed_ratio t = combination_at(base.list, std::uniform_int_distribution<size_t>(
                                                           0, len - pairs)(g), pairs);
            if (t.num < t.den)
                t = ratio_of(t.den, t.num);
            for (const observed_ratio &v : {t, ratio_of(t.den, t.num)})
                for (int ulps = -3; ulps <= 3; ++ulps) {
                    double x = v.num, q = v.fc;
                    for (int i = 0; i < std::abs(ulps); ++i) {
                        x = std::nextafter(x, ulps < 0 ? 0.0 : INFINITY);
                        q = std::nextafter(q, ulps < 0 ? 0.0 : INFINITY);
                    }
                    thresholds.push_back(ratio_of(x, v.den));
                    thresholds.push_back(ratio_of_double(q));
                }
            for (size_t i = 0; i < thresholds.size(); ++i) {
                fast_case c = base;
                c.observed = thresholds[i];
                c.name += ", threshold " + std::to_string(i);
                for (uint64_t n : lengths_for(pairs, len, fam == 0 && i == 0))
                    expect_same(c, pairs, n, 7000 + pairs * 31 + static_cast<unsigned>(i), modes);
            }
        }
    }
    // The lists here are all in range; the exact-sign modes must have been
    // exercised, and the exact products of whole numbers.
    EXPECT_TRUE(modes.count(fc_mode::one_band));
    EXPECT_TRUE(modes.count(fc_mode::products));
}

// 14, 8 against 23, 25 either way round: the traced fold change differs by
// one unit in the last place, the ratio does not, and the combinations whose
// ratio is exactly 48 / 22 or 22 / 48 count both times.
TEST(FastKernels, OneUlpReciprocal)
{
    std::mt19937_64 g(48);
    std::set<fc_mode> modes;
    const std::vector<double> a{14, 8}, b{23, 25};
    for (int swap = 0; swap < 2; ++swap) {
        const std::vector<double> &c1 = swap ? b : a, &c2 = swap ? a : b;
        fast_case c{swap ? "swapped" : "plain", pair_list_of(c1, c2, g), observed_of(c1, c2)};
        expect_same(c, 2, c.list.size(), 1, modes);
    }
    // The same effect at every size: counts in the ratio 48 : 22 throughout.
    for (unsigned pairs = 3; pairs <= 12; ++pairs) {
        std::vector<double> c1, c2;
        for (unsigned i = 0; i < pairs; ++i) {
            c1.push_back(i % 2 ? 25 : 23);
            c2.push_back(i % 2 ? 8 : 14);
        }
        fast_case c{"ratio", pair_list_of(c1, c2, g), observed_of(c1, c2)};
        for (uint64_t n : lengths_for(pairs, c.list.size(), pairs <= 6))
            expect_same(c, pairs, n, 99 + pairs, modes);
        c.observed = ratio_of_double(1.0 / (22.0 / 48.0));
        for (uint64_t n : lengths_for(pairs, c.list.size(), false))
            expect_same(c, pairs, n, 199 + pairs, modes);
    }
}

// Every count equal: every fold change is exactly 1, the observed fold change
// too, so every combination ties with both thresholds at once.
TEST(FastKernels, AllTies)
{
    std::mt19937_64 g(1);
    std::set<fc_mode> modes;
    for (double v : {1.0, 0.003, 7.0, 0x1p300, 0x1p-300}) {
        for (unsigned pairs = 2; pairs <= 12; ++pairs) {
            std::vector<double> c(pairs, v);
            fast_case fc{"equal " + std::to_string(v), pair_list_of(c, c, g), observed_of(c, c)};
            for (uint64_t n : lengths_for(pairs, fc.list.size(), v == 1.0 && pairs <= 7))
                expect_same(fc, pairs, n, 3 + pairs, modes);
        }
    }
    // Equal sums with unequal counts: both thresholds 1 again, but the
    // combinations' fold changes spread on both sides of it.
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        std::vector<double> c1 = counts_of(g, pairs, 1, 1.0), c2(c1);
        std::reverse(c2.begin(), c2.end());
        fast_case fc{"equal sums", pair_list_of(c1, c2, g), observed_of(c1, c2)};
        for (uint64_t n : lengths_for(pairs, fc.list.size(), pairs <= 6))
            expect_same(fc, pairs, n, 5 + pairs, modes);
    }
    EXPECT_TRUE(modes.count(fc_mode::unit));
}

// Magnitudes inside and outside the filter's range, and values it never
// takes: subnormals, zeros of both signs, negative counts, NaN, infinity,
// sums that overflow.
TEST(FastKernels, MagnitudesAndSpecialValues)
{
    std::mt19937_64 g(77);
    std::set<fc_mode> modes;
    const double scales[] = {0x1p-399, 0x1p-300, 0x1p300, 0x1p399, 0x1p-401, 0x1p401,
                             0x1p-1000, 0x1p1000, 1e308, 4.9e-324};
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        for (double scale : scales) {
            std::vector<double> c1 = counts_of(g, pairs, 3, scale);
            std::vector<double> c2 = counts_of(g, pairs, 3, scale * 1.5);
            fast_case c{"scale", pair_list_of(c1, c2, g), observed_of(c1, c2)};
            for (uint64_t n : lengths_for(pairs, c.list.size(), false))
                expect_same(c, pairs, n, 11 + pairs, modes);
        }
        const double specials[] = {0.0, -0.0, -3.0, NAN, INFINITY, -INFINITY, 4.9e-324, 1e-310};
        for (double sp : specials) {
            std::vector<double> c1 = counts_of(g, pairs, 1, 1.0);
            std::vector<double> c2 = counts_of(g, pairs, 1, 1.0);
            c1[g() % pairs] = sp;
            if (g() % 2)
                c2[g() % pairs] = sp;
            fast_case c{"special " + std::to_string(sp), pair_list_of(c1, c2, g),
                        observed_of(c1, c2)};
            for (uint64_t n : lengths_for(pairs, c.list.size(), false))
                expect_same(c, pairs, n, 13 + pairs, modes);
        }
    }
    EXPECT_TRUE(modes.count(fc_mode::division));
    EXPECT_TRUE(modes.count(fc_mode::one_band));
}

// Zeros that the adjustment leaves: when one condition sums to zero its zeros
// become a thousandth of the other's mean, and the other's zeros stay 0, so
// the list holds records (0, 0) whose combinations give 0 / 0, and records
// with one zero, giving fold changes of 0 and +infinity.
TEST(FastKernels, ZerosLeftByTheAdjustment)
{
    std::mt19937_64 g(4);
    std::set<fc_mode> modes;
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        for (int variant = 0; variant < 4; ++variant) {
            std::vector<double> c1(pairs, 0.0), c2 = counts_of(g, pairs, 0, 1.0);
            const unsigned zeros = variant == 0 ? 1 : variant == 1 ? 2 : pairs - 1;
            for (unsigned i = 0; i < zeros; ++i)
                c2[i] = 0.0;
            double sum2 = 0.0;
            for (double x : c2)
                sum2 += x;
            for (double &x : c1)
                x = sum2 / pairs / 1000.0;
            if (variant == 3)  // every first of a combination can be 0
                c1 = std::vector<double>(pairs, 0.0), c1[0] = 1.0;
            fast_case c{"zeros " + std::to_string(variant), pair_list_of(c1, c2, g),
                        observed_of(c1, c2)};
            for (uint64_t n : lengths_for(pairs, c.list.size(), variant == 1 && pairs <= 6))
                expect_same(c, pairs, n, 23 + pairs, modes);
            c.observed = ratio_of_double(1.0);
            for (uint64_t n : lengths_for(pairs, c.list.size(), false))
                expect_same(c, pairs, n, 29 + pairs, modes);
        }
    }
    EXPECT_TRUE(modes.count(fc_mode::one_band));
    EXPECT_TRUE(modes.count(one_band_zero_first));
}

// Observed fold changes the library never passes but a member must take:
// below 1 (thresholds crossed), exactly 1, 0, negative, NaN, infinite, huge,
// tiny and subnormal.
TEST(FastKernels, UnusualObservedFoldChanges)
{
    std::mt19937_64 g(31);
    std::set<fc_mode> modes;
    const double observed[] = {0.5,  1.0,        std::nextafter(1.0, 2.0), 0.0,     -2.0,
                               NAN,  INFINITY,   0x1p499,                 0x1p-499, 0x1p501,
                               1e-310, 1.0000001};
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        std::vector<double> c1 = counts_of(g, pairs, 0, 1.0);
        std::vector<double> c2 = counts_of(g, pairs, 0, 1.0);
        fast_case base{"observed", pair_list_of(c1, c2, g), ratio_of_double(1.0)};
        for (double o : observed) {
            fast_case c = base;
            c.observed = pairs % 2 ? ratio_of_double(o) : ratio_of(o * 3.0, 3.0);
            for (uint64_t n : lengths_for(pairs, c.list.size(), false))
                expect_same(c, pairs, n, 17 + pairs, modes);
        }
    }
    EXPECT_TRUE(modes.count(fc_mode::two_band));
}

// Lists of every length up to the full one for the exhaustive members, and
// lengths beyond what the members lay out themselves (they fall back to the
// reference walk), so that partial vectors of every width are met.
TEST(FastKernels, EveryLength)
{
    std::mt19937_64 g(9);
    std::set<fc_mode> modes;
    for (unsigned pairs = 2; pairs <= 4; ++pairs) {
        std::vector<double> c1 = counts_of(g, 6, 1, 1.0), c2 = counts_of(g, 6, 1, 1.0);
        fast_case c{"long", pair_list_of(c1, c2, g), observed_of(c1, c2)};  // 132 records
        const uint64_t top = pairs == 4 ? 57 : 70;
        for (uint64_t n = 0; n <= top; ++n)
            expect_same(c, pairs, n, 5, modes);
    }
    for (unsigned pairs = 5; pairs <= 12; ++pairs) {
        std::vector<double> c1 = counts_of(g, pairs, 1, 1.0), c2 = counts_of(g, pairs, 1, 1.0);
        fast_case c{"prefix", pair_list_of(c1, c2, g), observed_of(c1, c2)};
        for (uint64_t n = 0; n <= 2 * pairs + 20; n += 3)
            expect_same(c, pairs, n, 21 + static_cast<unsigned>(n), modes);
    }
}

// Whole-number counts as mirdle sees them, all members at full length.
TEST(FastKernels, TypicalCountsFullLength)
{
    std::mt19937_64 g(2718);
    std::set<fc_mode> modes;
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        std::vector<double> c1 = counts_of(g, pairs, 1, 1.0), c2 = counts_of(g, pairs, 1, 1.0);
        fast_case c{"typical", pair_list_of(c1, c2, g), observed_of(c1, c2)};
        expect_same(c, pairs, c.list.size(), 4242 + pairs, modes);
    }
}

}  // namespace
