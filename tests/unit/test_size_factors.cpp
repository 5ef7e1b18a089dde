#include <gtest/gtest.h>
#include <string>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "abundance_text.h"
#include "size_factors.h"

namespace {

using matrix = std::vector<std::vector<double>>;

struct outcome {
    int status;
    unsigned passes;
    std::vector<double> factors;
    size_t failed_sample;
};

// Every pass feeds the same rows, as a caller re-reading its input does.
outcome compute(size_factor_method method, const matrix &m, const size_factor_limits *limits,
                size_t samples = 0)
{
    if (samples == 0)
        samples = m.at(0).size();
    size_factor_state *s = size_factors_new(method, samples, limits);
    outcome o{sf_ok, 0, {}, 0};
    while (size_factors_need_pass(s) && o.status == sf_ok) {
        o.status = size_factors_begin_pass(s);
        if (o.status != sf_ok)
            break;
        for (const auto &row : m)
            size_factors_add_row(s, row.data());
        o.status = size_factors_end_pass(s);
        ++o.passes;
    }
    if (o.status == sf_ok)
        o.factors.assign(size_factors_result(s), size_factors_result(s) + samples);
    else
        o.failed_sample = size_factors_failed_sample(s);
    size_factors_free(s);
    return o;
}

// Radix passes of every width down to single bits, with and without
// candidate buffers: all must give the same doubles.
const size_factor_limits tiny_limits[] = {{1, 0}, {3, 1}, {5, 7}, {16, 0}, {2, 64}};

void expect_near_all(const std::vector<double> &expected, const std::vector<double> &actual,
                     double relative)
{
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t j = 0; j < expected.size(); ++j)
        EXPECT_NEAR(actual[j], expected[j], relative * expected[j]) << "sample " << j;
}

void expect_same_under_all_limits(size_factor_method method, const matrix &m)
{
    const outcome reference = compute(method, m, nullptr);
    ASSERT_EQ(reference.status, sf_ok);
    for (const auto &limits : tiny_limits) {
        const outcome o = compute(method, m, &limits);
        ASSERT_EQ(o.status, sf_ok) << limits.digit_bits << " bits, " << limits.collect_max;
        EXPECT_EQ(o.factors, reference.factors) << limits.digit_bits << " bits, "
                                                << limits.collect_max;
    }
}

// Hand-checked matrices.  Expected factors were computed once, outside the
// build, with Python's math.log, math.exp and statistics.median straight
// from the definitions: ratio exp(median_i(log k_ij - mean_j log k_ij)) over
// the rows without a zero, upperquartile the type-7 quantile
// (1 - f) x_lo + f x_(lo+1) at h = 0.75 (n - 1) over rows not all zero,
// total the column sums, the last two divided by their geometric mean.
const matrix six_rows = {{10, 20, 30, 5},    {0, 3, 4, 1},     {100, 150, 90, 60},
                         {7, 9, 13, 2},      {55, 40, 70, 33}, {1, 1, 2, 1}};
const matrix five_rows(six_rows.begin(), six_rows.end() - 1);
// Fractions that single precision holds exactly, one zero, one outlier.
const matrix fractions = {
    {0.5, 2.25, 3}, {1.5, 0.75, 8}, {1024, 3000, 1}, {6, 0, 2}, {12.5, 13, 14}};

TEST(SizeFactorsRatio, MatchesHandComputedFactors)
{
    // Five usable rows (the zero row drops out): the middle one.
    expect_near_all({1.05409255338946, 1.4146989626719084, 1.681792830507429, 0.6324555320336755},
                    compute(method_ratio, six_rows, nullptr).factors, 1e-12);
    // Four usable rows: the mean of the two middle log ratios.
    expect_near_all(
        {1.0769589640836812, 1.4662460614047057, 1.7357098433585094, 0.49018480332776054},
        compute(method_ratio, five_rows, nullptr).factors, 1e-12);
    expect_near_all({0.8278722351214972, 1.217644203045423, 1.4590901159474563},
                    compute(method_ratio, fractions, nullptr).factors, 1e-12);
    for (const matrix *m : {&six_rows, &five_rows, &fractions})
        expect_same_under_all_limits(method_ratio, *m);
}

TEST(SizeFactorsRatio, ProportionalSamplesGiveTheirProportions)
{
    // Sample j = c_j times a base profile; the c have geometric mean 1.
    const double c[] = {0.5, 1, 1, 2};
    matrix m;
    for (double base : {3.0, 17.0, 250.0, 1.0, 96.0, 4000.0, 12.0}) {
        m.push_back({});
        for (double cj : c)
            m.back().push_back(cj * base);
    }
    const outcome o = compute(method_ratio, m, nullptr);
    expect_near_all({0.5, 1, 1, 2}, o.factors, 1e-15);
}

TEST(SizeFactorsRatio, TwoMiddleValuesAcrossTheFirstDigit)
{
    // Log ratios -log 2 and +log 2: one key below the sign bit, one above, so
    // with one bit per pass the upper middle value is outside the range that
    // holds the lower one from the first pass on.
    const matrix m = {{1, 4}, {4, 1}};
    const size_factor_limits one_bit{1, 0};
    const outcome o = compute(method_ratio, m, &one_bit);
    ASSERT_EQ(o.status, sf_ok);
    EXPECT_EQ(o.passes, 64u);
    EXPECT_DOUBLE_EQ(o.factors[0], 1.0);
    EXPECT_DOUBLE_EQ(o.factors[1], 1.0);
}

TEST(SizeFactorsUpperQuartile, TwoOrderStatisticsInOneFinalBucket)
{
    // 1 and 1 + 1000 ulps share all but their last 16 bits: with 16-bit
    // digits both land in the last pass's histogram, in different buckets.
    const double b = 1.0 + 1000 * 0x1p-52;
    const matrix m = {{1, 1}, {b, 1}};
    const double q = (1 - 0.75) * 1.0 + 0.75 * b;
    const outcome o = compute(method_upperquartile, m, nullptr);
    EXPECT_EQ(o.factors[0] / o.factors[1], q);
    expect_same_under_all_limits(method_upperquartile, m);
}

TEST(SizeFactorsRatio, RowsWithAZeroChangeNothing)
{
    matrix m = five_rows;
    const outcome without = compute(method_ratio, m, nullptr);
    m.push_back({0, 1000, 1000, 1000});
    m.insert(m.begin(), {5000, 0, 1, 1});
    m.push_back({0, 0, 0, 0});
    const outcome with = compute(method_ratio, m, nullptr);
    EXPECT_EQ(with.factors, without.factors);
}

TEST(SizeFactorsRatio, NoRowWithoutAZero)
{
    EXPECT_EQ(compute(method_ratio, {{0, 1}, {1, 0}, {0, 0}}, nullptr).status, sf_no_usable_rows);
    EXPECT_EQ(compute(method_ratio, {}, nullptr, 3).status, sf_no_usable_rows);
}

TEST(SizeFactorsRatio, SingleSampleAndSingleRow)
{
    EXPECT_EQ(compute(method_ratio, {{7}, {0}, {3}}, nullptr).factors, std::vector<double>{1.0});
    expect_near_all({0.5, 2}, compute(method_ratio, {{2, 8}}, nullptr).factors, 1e-15);
}

TEST(SizeFactorsUpperQuartile, MatchesHandComputedFactors)
{
    // Six rows: h = 3.75, so 0.25 x_3 + 0.75 x_4 (43.75, 35, 60, 26).
    expect_near_all(
        {1.1128468026173473, 0.8902774420938777, 1.5261899007323618, 0.6613489569840235},
        compute(method_upperquartile, six_rows, nullptr).factors, 1e-12);
    // Five rows: h = 3, the order statistic itself (55, 40, 70, 33).
    expect_near_all({1.1583879316982857, 0.842463950326026, 1.4743119130705455, 0.6950327590189714},
                    compute(method_upperquartile, five_rows, nullptr).factors, 1e-12);
    expect_near_all({1.1453254088427238, 1.1911384251964328, 0.7330082616593432},
                    compute(method_upperquartile, fractions, nullptr).factors, 1e-12);
    for (const matrix *m : {&six_rows, &five_rows, &fractions})
        expect_same_under_all_limits(method_upperquartile, *m);
}

TEST(SizeFactorsUpperQuartile, InterpolationAtEveryQuarter)
{
    // One sample 1..n against a constant one: q_0 / q_1 = the quartile of
    // 1..n / 1, whose h = 0.75 (n - 1) ends in 0, .25, .5 and .75 in turn.
    for (int n = 2; n <= 9; ++n) {
        matrix m;
        for (int i = n; i >= 1; --i)
            m.push_back({static_cast<double>(i), 1.0});
        const double h = 0.75 * (n - 1);
        const double expected = 1.0 + h;  // x_lo + f (x_lo+1 - x_lo) on 1..n
        const outcome o = compute(method_upperquartile, m, nullptr);
        ASSERT_EQ(o.status, sf_ok);
        EXPECT_NEAR(o.factors[0] / o.factors[1], expected, 1e-14 * expected) << "n = " << n;
        EXPECT_NEAR(o.factors[0] * o.factors[1], 1.0, 1e-15) << "n = " << n;
    }
}

TEST(SizeFactorsUpperQuartile, RowsOfZerosOnlyAreLeftOut)
{
    matrix m = six_rows;
    const outcome without = compute(method_upperquartile, m, nullptr);
    m.push_back({0, 0, 0, 0});
    m.insert(m.begin() + 2, {0, 0, 0, 0});
    EXPECT_EQ(compute(method_upperquartile, m, nullptr).factors, without.factors);
    // A row that is 0 in all samples but one still counts, zeros included.
    m.push_back({0, 0, 0, 9});
    EXPECT_NE(compute(method_upperquartile, m, nullptr).factors, without.factors);
}

TEST(SizeFactorsUpperQuartile, ZeroQuartileOrNothingToUse)
{
    const outcome o = compute(method_upperquartile,
                              {{5, 0, 1}, {6, 0, 2}, {7, 0, 3}, {8, 0, 5}, {1, 1, 4}}, nullptr);
    EXPECT_EQ(o.status, sf_zero_factor);
    EXPECT_EQ(o.failed_sample, 1u);
    EXPECT_EQ(compute(method_upperquartile, {{0, 0}, {0, 0}}, nullptr).status, sf_no_usable_rows);
}

TEST(SizeFactorsTotal, SumsOverTheirGeometricMean)
{
    expect_near_all({1.0215785067426741, 1.316832410425528, 1.2341613173943289, 0.6023179635130218},
                    compute(method_total, six_rows, nullptr).factors, 1e-12);
    expect_near_all({2.3464384864743755, 6.775355170135679, 0.062901175319562},
                    compute(method_total, fractions, nullptr).factors, 1e-12);
    EXPECT_EQ(compute(method_total, six_rows, nullptr).passes, 1u);
    const outcome o = compute(method_total, {{1, 2, 0}, {3, 4, 0}}, nullptr);
    EXPECT_EQ(o.status, sf_zero_factor);
    EXPECT_EQ(o.failed_sample, 2u);
}

// Sorting every value: the plain definitions.
std::vector<double> sorted_selection(size_factor_method method, const matrix &m)
{
    const size_t n = m[0].size();
    std::vector<std::vector<double>> columns(n);
    for (const auto &row : m) {
        const bool zero = std::any_of(row.begin(), row.end(), [](double v) { return v == 0; });
        const bool all_zero = std::all_of(row.begin(), row.end(), [](double v) { return v == 0; });
        if (method == method_ratio ? zero : all_zero)
            continue;
        double g = 0;
        for (double v : row)
            g += std::log(v);
        g /= static_cast<double>(n);
        for (size_t j = 0; j < n; ++j)
            columns[j].push_back(method == method_ratio ? std::log(row[j]) - g : row[j]);
    }
    std::vector<double> result;
    for (auto &c : columns) {
        std::sort(c.begin(), c.end());
        const size_t k = c.size();
        if (method == method_ratio) {
            result.push_back(std::exp((c[(k - 1) / 2] + c[k / 2]) / 2));
        } else {
            const double h = 0.75 * static_cast<double>(k - 1);
            const size_t lo = static_cast<size_t>(h);
            const double f = h - static_cast<double>(lo);
            result.push_back(f == 0 ? c[lo] : (1 - f) * c[lo] + f * c[lo + 1]);
        }
    }
    if (method == method_upperquartile) {
        double mean = 0;
        for (double q : result)
            mean += std::log(q);
        mean = std::exp(mean / static_cast<double>(n));
        for (double &q : result)
            q /= mean;
    }
    return result;
}

TEST(SizeFactorsSelection, AgreesWithSortingOnRandomCounts)
{
    std::mt19937_64 gen(20240611);
    for (size_t rows : {1u, 2u, 3u, 4u, 5u, 101u, 1000u, 3001u}) {
        for (bool ties : {true, false}) {
            matrix m(rows, std::vector<double>(5));
            std::gamma_distribution<double> depth(0.7, 300.0);
            for (auto &row : m) {
                const double mean = depth(gen);
                for (size_t j = 0; j < row.size(); ++j) {
                    std::poisson_distribution<int> counts(mean * (0.5 + 0.3 * j) + 0.2);
                    // Small whole counts tie often; scaled ones rarely.
                    row[j] = ties ? counts(gen) : counts(gen) * 1.37;
                }
            }
            m[0].assign(5, 4.0);  // at least one usable row
            for (size_factor_method method : {method_ratio, method_upperquartile}) {
                const std::vector<double> expected = sorted_selection(method, m);
                const outcome o = compute(method, m, nullptr);
                ASSERT_EQ(o.status, sf_ok) << rows << " rows";
                expect_near_all(expected, o.factors, 1e-13);
                expect_same_under_all_limits(method, m);
            }
        }
    }
}

TEST(SizeFactorsSelection, PassesThatTheLimitsAllow)
{
    matrix m;
    for (int i = 1; i <= 300; ++i)
        m.push_back({double(i), double(i % 17 + 1), double(i % 5 + 2)});
    // Everything fits the candidate buffers: one pass.
    EXPECT_EQ(compute(method_ratio, m, nullptr).passes, 1u);
    // No buffers: 64 bits in 16-bit digits.
    const size_factor_limits radix_only{16, 0};
    EXPECT_EQ(compute(method_ratio, m, &radix_only).passes, 4u);
    // 300 values overflow a 100-key buffer, and 16 bits leave far fewer.
    const size_factor_limits small_buffer{16, 100};
    EXPECT_EQ(compute(method_upperquartile, m, &small_buffer).passes, 2u);
}

TEST(SizeFactorsSelection, RowsThatChangeBetweenPassesAreReported)
{
    const size_factor_limits limits{4, 0};
    const matrix first = {{1, 2}, {3, 5}, {8, 13}, {21, 34}};
    const matrix others[] = {
        {{1, 2}, {3, 5}, {8, 13}},               // a row fewer
        {{1, 2}, {3, 5}, {8, 13}, {21, 0}},      // one usable row fewer
        {{2, 1}, {5, 3}, {13, 8}, {34, 21}},     // same count, other values
        {{1, 2}, {3, 5}, {8, 13}, {21, 34}, {1, 1}},
    };
    for (size_factor_method method : {method_ratio, method_upperquartile}) {
        for (const matrix &other : others) {
            size_factor_state *s = size_factors_new(method, 2, &limits);
            ASSERT_EQ(size_factors_begin_pass(s), sf_ok);
            for (const auto &row : first)
                size_factors_add_row(s, row.data());
            ASSERT_EQ(size_factors_end_pass(s), sf_ok);
            ASSERT_TRUE(size_factors_need_pass(s));
            ASSERT_EQ(size_factors_begin_pass(s), sf_ok);
            for (const auto &row : other)
                size_factors_add_row(s, row.data());
            EXPECT_EQ(size_factors_end_pass(s), sf_rows_changed);
            EXPECT_FALSE(size_factors_need_pass(s));
            EXPECT_EQ(size_factors_result(s), nullptr);
            size_factors_free(s);
        }
    }
}

TEST(SizeFactorsHelpers, SpreadBetweenGroups)
{
    const double f[] = {0.5, 1, 1, 2, 4};
    const size_t groups[] = {2, 2, 1};
    size_t high, low;
    // Geometric means sqrt(0.5), sqrt(2), 4.
    EXPECT_NEAR(size_factor_spread(f, groups, 3, &high, &low), 4 / std::sqrt(0.5), 1e-14);
    EXPECT_EQ(high, 2u);
    EXPECT_EQ(low, 0u);
    const size_t one[] = {5};
    EXPECT_NEAR(size_factor_spread(f, one, 1, &high, &low), 1.0, 1e-15);
    EXPECT_NEAR(geometric_mean(f, 4), 1.0, 1e-15);
}

TEST(SizeFactorsHelpers, MethodNamesAndLimits)
{
    size_factor_method m = method_total;
    for (const char *name : {"ratio", "upperquartile", "total"}) {
        ASSERT_TRUE(size_factor_method_from_name(name, &m));
        EXPECT_STREQ(size_factor_method_name(m), name);
    }
    EXPECT_FALSE(size_factor_method_from_name("Ratio", &m));
    EXPECT_FALSE(size_factor_method_from_name("", &m));
    EXPECT_EQ(size_factors_default_limits(8).digit_bits, 16u);
    EXPECT_EQ(size_factors_default_limits(8).collect_max, 65536u);
    EXPECT_LT(size_factors_default_limits(1000).digit_bits, 16u);
    EXPECT_EQ(size_factors_default_limits(100000000).digit_bits, 8u);
}

TEST(AbundanceText, ParsesAsSinglePrecisionAndRefusesTheRest)
{
    double v = -1;
    EXPECT_EQ(parse_abundance("1e3", &v), abundance_ok);
    EXPECT_EQ(v, 1000.0);
    EXPECT_EQ(parse_abundance(" 7", &v), abundance_ok);
    EXPECT_EQ(v, 7.0);
    EXPECT_EQ(parse_abundance("", &v), abundance_ok);
    EXPECT_EQ(v, 0.0);
    EXPECT_EQ(parse_abundance("0x1p3", &v), abundance_ok);
    EXPECT_EQ(v, 8.0);
    EXPECT_EQ(parse_abundance("0.1", &v), abundance_ok);
    EXPECT_EQ(v, static_cast<double>(0.1f));
    EXPECT_EQ(parse_abundance("-0", &v), abundance_ok);
    EXPECT_FALSE(std::signbit(v));
    for (const char *bad : {"7 ", "abc", "1,5", "7\r"})
        EXPECT_EQ(parse_abundance(bad, &v), abundance_invalid) << bad;
    for (const char *bad : {"inf", "-inf", "nan", "1e39"})
        EXPECT_EQ(parse_abundance(bad, &v), abundance_not_finite) << bad;
    EXPECT_EQ(parse_abundance("-1", &v), abundance_negative);
    EXPECT_EQ(parse_abundance("-1e-50", &v), abundance_ok);  // reads as -0
}

TEST(AbundanceText, ShortestTextThatReadsBack)
{
    char text[ABUNDANCE_TEXT_SIZE];
    format_double(0.1, text);
    EXPECT_STREQ(text, "0.1");
    format_double(679, text);
    EXPECT_STREQ(text, "679");
    format_double(1.0 / 3, text);
    EXPECT_STREQ(text, "0.3333333333333333");
    format_double(100 / 1.23, text);
    EXPECT_STREQ(text, "81.30081300813008");

    // Against the plain search from 15 digits up, also at powers of two,
    // where the shortest text that reads back need not be the rounded one.
    const auto plain = [](double v) {
        char t[ABUNDANCE_TEXT_SIZE];
        for (int digits = 15; digits <= 17; ++digits) {
            std::snprintf(t, sizeof t, "%.*g", digits, v);
            if (std::strtod(t, nullptr) == v)
                break;
        }
        return std::string(t);
    };
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> exponent(-40, 38);
    for (int k = 0; k < 20000; ++k) {
        const double v = std::pow(10.0, exponent(gen));
        format_abundance(v, text);
        ASSERT_EQ(std::strtod(text, nullptr), v) << text;
        ASSERT_EQ(std::strtof(text, nullptr), static_cast<float>(v)) << text;
        for (double x : {v, std::ldexp(1.0, k % 2098 - 1074)}) {
            format_double(x, text);
            ASSERT_EQ(text, plain(x)) << x;
        }
    }
}

TEST(AbundanceText, HalfwayBetweenTwoFloats)
{
    // Exactly between the floats 0x1.44cb62p-57 and 0x1.44cb64p-57.  Its
    // shortest text lies just below, so strtof would take the odd float;
    // ties to even asks for the upper one.
    const double v = 0x1.44cb63p-57;
    char text[ABUNDANCE_TEXT_SIZE];
    format_double(v, text);
    EXPECT_EQ(std::strtof(text, nullptr), 0x1.44cb62p-57f);
    format_abundance(v, text);
    EXPECT_EQ(std::strtod(text, nullptr), v);
    EXPECT_EQ(std::strtof(text, nullptr), 0x1.44cb64p-57f);
    EXPECT_EQ(static_cast<float>(v), 0x1.44cb64p-57f);
}

}  // namespace
