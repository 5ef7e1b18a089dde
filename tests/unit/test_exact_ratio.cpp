// The exact comparison of a combination's fold change with the observed
// ratio, and what it buys: P-values that do not change when the two
// conditions are named the other way round, on every counting table, and
// exhaustive counts equal to a count by integer cross-multiplication.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "exact_ratio.h"
#include "kernels.h"
#include "pvalue.h"
#include "pvalue_test_util.h"
#include "vp_shuffle.h"

namespace {

using wide = __int128;

int sign_of(wide x)
{
    return (x > 0) - (x < 0);
}

// sign(a b - c d) with the error-free products of fused multiply-adds,
// which are exact where nothing underflows or overflows.
int two_product_sign(double a, double b, double c, double d)
{
    const double p = a * b, q = c * d;
    if (p != q)
        return p > q ? 1 : -1;
    const double e = std::fma(a, b, -p), f = std::fma(c, d, -q);
    return (e > f) - (e < f);
}

TEST(ExactRatio, ProductDifferenceSignAgainstIndependentArithmetic)
{
    std::mt19937_64 g(16);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < 200000; ++i) {
        // Whole numbers below 2^53: products exact in 128 bits.  Often the
        // same products in another factorisation, so that ties occur.
        const int64_t range = int64_t{1} << (1 + pick(g, 52));
        std::uniform_int_distribution<int64_t> w(-range, range);
        int64_t a = w(g), b = w(g), c = w(g), d = w(g);
        if (i % 3 == 0) {
            const int64_t k = 1 + static_cast<int64_t>(pick(g, 7));
            if (b % k == 0 && (a < 0 ? -a : a) < (int64_t{1} << 53) / k) {
                c = a * k;
                d = b / k;
            }
        }
        if (i % 5 == 0)
            d += pick(g, 3) - 1;
        ASSERT_EQ(product_difference_sign(a, b, c, d),
                  sign_of(static_cast<wide>(a) * b - static_cast<wide>(c) * d))
            << a << " " << b << " " << c << " " << d;

        // Fractions of moderate exponent: the two-product signs; one product
        // a neighbour of the other now and then.
        const double x = std::ldexp(u(g), static_cast<int>(pick(g, 400)) - 200);
        const double y = std::ldexp(u(g), static_cast<int>(pick(g, 400)) - 200);
        double z = std::ldexp(u(g), static_cast<int>(pick(g, 400)) - 200);
        double v = x * y / z;
        if (i % 2)
            v = std::nextafter(v, pick(g, 2) ? INFINITY : -INFINITY);
        ASSERT_EQ(product_difference_sign(x, y, z, v), two_product_sign(x, y, z, v))
            << std::hexfloat << x << " " << y << " " << z << " " << v;

        // The hot loops' comparison against the rule: sums in the very
        // proportion of the ratio's terms (scaled by a power of two), one ulp
        // off, or anywhere, across the range it takes.
        {
            auto term = [&] {
                return std::ldexp(1 + std::fabs(u(g)), static_cast<int>(pick(g, 200)) - 100);
            };
            const observed_ratio r = ratio_of(term(), term());
            const int k = static_cast<int>(pick(g, 400)) - 200;
            double s1 = std::ldexp(r.den, k), s2 = std::ldexp(r.num, k);
            if (i % 3 == 1)
                s2 = std::nextafter(s2, pick(g, 2) ? INFINITY : 0.0);
            if (i % 3 == 2)
                s1 = std::ldexp(1 + std::fabs(u(g)), k);
            const ratio_test t(r);
            for (const auto &[a, b] : {std::pair{s1, s2}, std::pair{s2, s1}}) {
                const fc_class want = classify_fc(a, b, r);
                ASSERT_EQ(t.above(a, b), want == fc_class::above)
                    << std::hexfloat << a << " " << b << " " << r;
                if (want != fc_class::above) {
                    ASSERT_EQ(t.below(a, b), want == fc_class::below)
                        << std::hexfloat << a << " " << b << " " << r;
                }
            }
        }

        // Scaling a and c by the same power of two keeps the sign, even when
        // it carries the products into subnormals or past the largest
        // double.
        const int k = static_cast<int>(pick(g, 1800)) - 900;
        const double xs = std::ldexp(x, k), zs = std::ldexp(z, k);
        if (std::isfinite(xs) && std::isfinite(zs) && std::ldexp(xs, -k) == x &&
            std::ldexp(zs, -k) == z) {
            ASSERT_EQ(product_difference_sign(xs, y, zs, v), two_product_sign(x, y, z, v))
                << std::hexfloat << xs << " " << y << " " << zs << " " << v;
        }
    }
    EXPECT_EQ(product_difference_sign(DBL_MAX, DBL_MAX, DBL_MAX, std::nextafter(DBL_MAX, 0)), 1);
    EXPECT_EQ(product_difference_sign(4.9e-324, 4.9e-324, 0.0, 1.0), 1);
    EXPECT_EQ(product_difference_sign(4.9e-324, 3.0, 1.5e-323, 1.0), 0);
    EXPECT_EQ(product_difference_sign(-0.0, 5.0, 0.0, 7.0), 0);
}

TEST(ExactRatio, SpecialQuotientsKeepTheirClasses)
{
    const observed_ratio r = ratio_of(48.0, 22.0);
    EXPECT_EQ(classify_fc(0.0, 0.0, r), fc_class::neither);   // 0 / 0
    EXPECT_EQ(classify_fc(0.0, 3.0, r), fc_class::above);     // +infinity
    EXPECT_EQ(classify_fc(3.0, 0.0, r), fc_class::below);     // 0
    EXPECT_EQ(classify_fc(22.0, 48.0, r), fc_class::above);   // the tie itself
    EXPECT_EQ(classify_fc(48.0, 22.0, r), fc_class::below);   // the reciprocal tie
    EXPECT_EQ(classify_fc(11.0, 24.0, r), fc_class::above);   // the same ratio reduced
    EXPECT_EQ(classify_fc(22.0, std::nextafter(48.0, 0.0), r), fc_class::neither);
    EXPECT_EQ(classify_fc(NAN, 1.0, r), fc_class::neither);
    EXPECT_EQ(classify_fc(1.0, INFINITY, r), fc_class::above);
    EXPECT_EQ(classify_fc(INFINITY, 1.0, r), fc_class::below);
    EXPECT_EQ(classify_fc(1.0, 2.0, ratio_of(NAN, 1.0)), fc_class::neither);
    const ratio_test t(r);
    EXPECT_FALSE(t.above(0.0, 0.0) || t.below(0.0, 0.0));
    EXPECT_TRUE(t.above(0.0, 3.0) && !t.below(0.0, 3.0));
    EXPECT_TRUE(t.below(3.0, 0.0) && !t.above(3.0, 0.0));
    EXPECT_TRUE(t.above(11.0, 24.0) && t.below(24.0, 11.0));
    EXPECT_FALSE(t.above(22.0, std::nextafter(48.0, 0.0)));
    EXPECT_FALSE(t.below(std::nextafter(22.0, 0.0), 48.0));
    // 1 / (22 / 48), the quotient the trace shows with the conditions swapped,
    // is one ulp above 48 / 22; the ratio itself is not.
    EXPECT_GT(1.0 / (22.0 / 48.0), 48.0 / 22.0);
    EXPECT_EQ(compare_ratios(48.0, 22.0, 24.0, 11.0), 0);
    EXPECT_EQ(compare_ratios(1.0 / (22.0 / 48.0), 1.0, 48.0, 22.0), 1);
    EXPECT_EQ(compare_ratios(0x1p53 + 2, 0x1p53, 1.0, 1.0), 1);
}

TEST(ExactRatio, BoundsAreTheDoublesEitherSide)
{
    std::mt19937_64 g(5);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    auto check = [](double lo, double hi, double n, double d) {
        EXPECT_LE(compare_ratios(lo, 1.0, n, d), 0);
        EXPECT_GE(compare_ratios(hi, 1.0, n, d), 0);
        if (compare_ratios(lo, 1.0, n, d) == 0)
            EXPECT_EQ(lo, hi);
        else
            EXPECT_EQ(std::nextafter(lo, INFINITY), hi);
    };
    for (int i = 0; i < 20000; ++i) {
        const double n = i % 4 == 0 ? static_cast<double>(1 + pick(g, 1000))
                                    : std::ldexp(u(g), static_cast<int>(pick(g, 1400)) - 700);
        const double d = i % 4 == 0 ? static_cast<double>(1 + pick(g, 1000))
                                    : std::ldexp(u(g), static_cast<int>(pick(g, 1400)) - 700);
        const ratio_bounds b = bounds_of(ratio_of(n, d));
        SCOPED_TRACE(testing::Message() << std::hexfloat << n << " / " << d);
        check(b.above_lo, b.above_hi, n, d);
        check(b.below_lo, b.below_hi, d, n);
    }
    const ratio_bounds nan = bounds_of(ratio_of(NAN, 1.0));
    EXPECT_TRUE(std::isnan(nan.above_lo) && std::isnan(nan.below_hi));
}

// Counts of one condition for the swap tests: small whole numbers with
// zeros and ties, wide whole numbers, fractions, huge and tiny magnitudes,
// and the same values in a different order.
std::vector<double> swap_counts(std::mt19937_64 &g, size_t p, int family)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> c(p);
    for (double &x : c) {
        switch (family) {
        case 0: x = static_cast<double>(pick(g, 4)); break;
        case 1: x = static_cast<double>(pick(g, 20000)); break;
        case 2: x = pick(g, 4) ? 1000 * u(g) : 0.0; break;
        case 3: x = std::ldexp(1 + u(g), 300 + static_cast<int>(pick(g, 90))); break;
        case 4: x = std::ldexp(1 + u(g), -300 - static_cast<int>(pick(g, 90))); break;
        case 5: x = pick(g, 2) ? 1e-6 * u(g) : 1e6 * static_cast<double>(pick(g, 100)); break;
        default: x = 0.125 * static_cast<double>(1 + pick(g, 40)); break;
        }
    }
    return c;
}

double near_exact_copy(std::vector<double> a, std::vector<double> b)
{
    return near_exact_pval(a.data(), b.data(), a.size());
}

// What near_exact_pval computes for 2 to 4 pairs, without its memo (which
// would answer the swapped call from the first): zeros adjusted, the pair
// list in the shuffle's order, one exhaustive count.
double counted_afresh(std::vector<double> a, std::vector<double> b)
{
    const size_t p = a.size();
    adjust_zero_counts(a.data(), b.data(), p);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < p; ++i)
        s1 += a[i], s2 += b[i];
    std::vector<count_pair> list = unshuffled_pair_list(a, b);
    vp_shuffle(list.data(), list.size(), sizeof(count_pair));
    uint64_t sampled = 0;
    const uint64_t extreme =
        count_extreme_fcs(list.data(), list.size(), p, &sampled, observed_ratio_of(s1, s2));
    return static_cast<double>(extreme) / static_cast<double>(sampled);
}

TEST(ExactRatio, SwappingTheConditionsLeavesEveryExhaustivePValue)
{
    isa_restorer restore;
    std::mt19937_64 g(2388);
    int traced_apart = 0;
    for (int c = 0; c < 600; ++c) {
        const size_t p = 2 + c % 3;
        const int f1 = static_cast<int>(pick(g, 7)), f2 = pick(g, 3) ? f1 : static_cast<int>(pick(g, 7));
        std::vector<double> c1 = swap_counts(g, p, f1), c2 = swap_counts(g, p, f2);
        if (c % 7 == 0)  // the first condition's values in the other order
            c2.assign(c1.rbegin(), c1.rend()), c2[0] *= 3;
        SCOPED_TRACE(testing::Message() << "case " << c << ", families " << f1 << " " << f2);
        double first = -1;
        for (pvalue_isa isa : runnable_isas()) {
            SCOPED_TRACE(pvalue_isa_name(isa));
            ASSERT_TRUE(pvalue_force_isa(isa));
            const double ab = counted_afresh(c1, c2), ba = counted_afresh(c2, c1);
            EXPECT_EQ(ab, ba);
            EXPECT_EQ(near_exact_copy(c1, c2), ab);
            EXPECT_EQ(near_exact_copy(c2, c1), ab);
            if (first < 0)
                first = ab;
            EXPECT_EQ(ab, first) << "a table differs from the reference";
        }
        // Cases where the traced fold change differs in its last bit when
        // swapped: where rounded quotients used to decide ties differently.
        double s1 = 0, s2 = 0;
        for (size_t i = 0; i < p; ++i)
            s1 += c1[i], s2 += c2[i];
        traced_apart += observed_ratio_of(s1, s2).fc != observed_ratio_of(s2, s1).fc;
    }
    EXPECT_GT(traced_apart, 30);
}

// The count of an independent model for whole numbers: every combination of
// p records of the unshuffled list, its sums as integers, compared with the
// larger ratio of the condition sums by integer cross-multiplication.
double integer_model(const std::vector<int64_t> &c1, const std::vector<int64_t> &c2)
{
    const size_t p = c1.size();
    std::vector<int64_t> pooled(c1);
    pooled.insert(pooled.end(), c2.begin(), c2.end());
    int64_t s1 = 0, s2 = 0;
    for (size_t i = 0; i < p; ++i) {
        s1 += c1[i];
        s2 += c2[i];
    }
    const int64_t num = std::max(s1, s2), den = std::min(s1, s2);
    std::vector<std::pair<int64_t, int64_t>> list;
    for (size_t j = 0; j < pooled.size(); ++j)
        for (size_t k = j + 1; k < pooled.size(); ++k)
            list.push_back({pooled[j], pooled[k]});
    const size_t half = list.size();
    for (size_t i = 0; i < half; ++i)
        list.push_back({list[i].second, list[i].first});
    uint64_t extreme = 0, total = 0;
    std::vector<size_t> q(p);
    for (size_t i = 0; i < p; ++i)
        q[i] = i;
    const size_t n = list.size();
    for (;;) {
        int64_t f = 0, s = 0;
        for (size_t i : q) {
            f += list[i].first;
            s += list[i].second;
        }
        ++total;
        extreme += static_cast<wide>(s) * den >= static_cast<wide>(f) * num ||
                   static_cast<wide>(s) * num <= static_cast<wide>(f) * den;
        size_t i = p;
        while (i > 0 && q[i - 1] == n - p + i - 1)
            --i;
        if (i == 0)
            break;
        ++q[i - 1];
        for (size_t j = i; j < p; ++j)
            q[j] = q[j - 1] + 1;
    }
    return static_cast<double>(extreme) / static_cast<double>(total);
}

TEST(ExactRatio, WholeNumberCountsEqualAnIntegerModel)
{
    isa_restorer restore;
    std::mt19937_64 g(4454);
    for (int c = 0; c < 90; ++c) {
        const size_t p = c < 40 ? 2 : c < 80 ? 3 : 4;
        const uint64_t top = pick(g, 2) ? 6 : 7000;
        std::vector<int64_t> c1(p), c2(p);
        for (int64_t &x : c1)
            x = 1 + static_cast<int64_t>(pick(g, top));
        for (int64_t &x : c2)
            x = 1 + static_cast<int64_t>(pick(g, top));
        if (c % 5 == 0)  // one condition a multiple of the other: many exact ties
            for (size_t i = 0; i < p; ++i)
                c2[i] = c1[(i + 1) % p] * 2;
        const double want = integer_model(c1, c2);
        const std::vector<double> d1(c1.begin(), c1.end()), d2(c2.begin(), c2.end());
        for (pvalue_isa isa : runnable_isas()) {
            ASSERT_TRUE(pvalue_force_isa(isa));
            EXPECT_EQ(near_exact_copy(d1, d2), want) << "case " << c << " " << pvalue_isa_name(isa);
        }
    }
}

// The pass line of a sampled pass states (extreme + 1) / (sampled + 1), and
// no sampled P-value is 0, however extreme the counts.
TEST(ExactRatio, SampledPValuesAreNeverZero)
{
    std::mt19937_64 g(13);
    for (size_t p = 5; p <= 12; ++p) {
        for (int c = 0; c < 3; ++c) {
            std::vector<double> c1(p), c2(p);
            for (double &x : c1)
                x = static_cast<double>(pick(g, 3));
            for (double &x : c2)
                x = 100000.0 + static_cast<double>(pick(g, 1000));
            EXPECT_GT(near_exact_copy(c1, c2), 0.0) << p << " pairs";
        }
        std::vector<double> c1(p, 1.0), c2(p, 5000.0);
        const std::string trace = traced([&] { near_exact_copy(c1, c2); });
        const size_t at = trace.find("Pass 0: FCs sampled = ");
        ASSERT_NE(at, std::string::npos);
        unsigned long sampled = 0, num = 0, den = 0;
        ASSERT_EQ(std::sscanf(trace.c_str() + at, "Pass 0: FCs sampled = %lu  P-value = %lu / %lu",
                              &sampled, &num, &den),
                  3);
        EXPECT_EQ(den, sampled + 1);
        EXPECT_GE(num, 1u);
        const size_t line = trace.rfind("FCs > ", at);
        unsigned long above = 0, below = 0;
        ASSERT_EQ(std::sscanf(trace.c_str() + line, "FCs > %*f = %lu FCs < %*f = %lu", &above, &below), 2);
        EXPECT_EQ(num, above + below + 1);
    }
}

}  // namespace
