#ifndef TESTS_UNIT_PVALUE_TEST_UTIL_H
#define TESTS_UNIT_PVALUE_TEST_UTIL_H

// Helpers shared by the P-value library tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "kernels.h"
#include "pvalue.h"

// The pair list that near_exact_pval builds from two count arrays, before its
// shuffle: (pooled[j], pooled[k]) for every j < k in lexicographic order,
// followed by the same records mirrored.
inline std::vector<count_pair> unshuffled_pair_list(const std::vector<double> &c1,
                                                    const std::vector<double> &c2)
{
    std::vector<double> pooled(c1);
    pooled.insert(pooled.end(), c2.begin(), c2.end());
    std::vector<count_pair> front, back;
    for (size_t j = 0; j < pooled.size(); ++j)
        for (size_t k = j + 1; k < pooled.size(); ++k) {
            front.push_back({pooled[j], pooled[k]});
            back.push_back({pooled[k], pooled[j]});
        }
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

// The observed ratio of two conditions as near_exact_pval forms it: their
// sums in index order, the larger ratio of the two.
inline observed_ratio observed_of(const std::vector<double> &c1, const std::vector<double> &c2)
{
    double s1 = 0.0, s2 = 0.0;
    for (double x : c1)
        s1 += x;
    for (double x : c2)
        s2 += x;
    return observed_ratio_of(s1, s2);
}

// For the tests' messages: the ratio's terms, exactly.
inline std::ostream &operator<<(std::ostream &o, const observed_ratio &r)
{
    return o << std::hexfloat << r.num << " / " << r.den << std::defaultfloat;
}

// A ratio of exactly the double t, traced as t.
inline observed_ratio ratio_of_double(double t)
{
    return {t, 1.0, t};
}

// The ratio num / den, traced as its quotient.
inline observed_ratio ratio_of(double num, double den)
{
    return {num, den, num / den};
}

// The counting trace line for the given values.
inline std::string count_trace_line(double fc, unsigned long above, double low,
                                    unsigned long below)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "FCs > %0.3f = %-5lu     FCs < %0.3f = %-5lu\n", fc, above,
                  low, below);
    return buf;
}

// Runs f with the trace switched on and returns what it wrote to stdout.
template <class F>
std::string traced(F &&f)
{
    testing::internal::CaptureStdout();
    Debug = true;
    f();
    Debug = false;
    return testing::internal::GetCapturedStdout();
}

// The production counting tables this machine can run, scalar first.
inline std::vector<pvalue_isa> production_isas()
{
    std::vector<pvalue_isa> isas{pvalue_isa_scalar};
    for (pvalue_isa isa : {pvalue_isa_avx2, pvalue_isa_avx512})
        if (isa <= pvalue_best_isa())
            isas.push_back(isa);
    return isas;
}

// The counting tables this machine can run, the plain reference first.
inline std::vector<pvalue_isa> runnable_isas()
{
    std::vector<pvalue_isa> isas = production_isas();
    isas.insert(isas.begin(), pvalue_isa_reference);
    return isas;
}

// Restores the counting table in use when it goes out of scope.
struct isa_restorer {
    pvalue_isa saved = pvalue_active_isa();
    ~isa_restorer() { pvalue_force_isa(saved); }
};

// Length of the pair list for p pairs: 2 x (2p choose 2).
constexpr uint64_t pair_list_len(unsigned p)
{
    return 2ull * p * (2 * p - 1);
}

inline size_t pick(std::mt19937_64 &g, size_t k)
{
    return std::uniform_int_distribution<size_t>(0, k - 1)(g);
}

// Counts of one condition from one of several families: small integers with
// many ties and zeros, wide integers, non-integers, mixed signs with signed
// zeros, non-finite values, magnitudes from subnormal to near overflow, all
// equal, positive magnitudes spread over 2^-401 to 2^400, positive
// subnormals, positive near overflow, and positive values of one scale
// between 2^-250 and 2^250 per condition.
inline std::vector<double> random_counts(std::mt19937_64 &g, size_t n, size_t family)
{
    static const double special[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 1.0};
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double scale = std::ldexp(1.0, static_cast<int>(pick(g, 501)) - 250);
    std::vector<double> c(n);
    for (double &x : c) {
        switch (family) {
        case 0: x = static_cast<double>(pick(g, 4)); break;
        case 1: x = static_cast<double>(pick(g, 1000)); break;
        case 2: x = 1000 * u(g); break;
        case 3: x = pick(g, 5) ? 100 * u(g) - 50 : pick(g, 2) ? 0.0 : -0.0; break;
        case 4: x = pick(g, 3) ? static_cast<double>(pick(g, 10)) : special[pick(g, 6)]; break;
        case 5: {
            int e = pick(g, 3) == 0 ? -1074 + static_cast<int>(pick(g, 60))
                    : pick(g, 2)    ? static_cast<int>(pick(g, 20)) - 10
                                    : 1000 + static_cast<int>(pick(g, 23));
            x = std::ldexp(0.5 + u(g), e) * (pick(g, 4) ? 1 : -1);
            break;
        }
        case 6: x = 7.25; break;
        case 7: x = std::ldexp(0.5 + u(g), static_cast<int>(pick(g, 802)) - 401); break;
        case 8: x = std::ldexp(1 + u(g), static_cast<int>(pick(g, 50)) - 1074); break;
        case 9: x = std::ldexp(1 + u(g), 900 + static_cast<int>(pick(g, 123))); break;
        default: x = (1 + u(g)) * scale; break;
        }
    }
    return c;
}

// A shuffled pair list of two random conditions of p counts each, built as
// near_exact_pval builds it (zeros adjusted or not), with its observed fold
// change.
struct random_list {
    std::vector<count_pair> list;
    observed_ratio observed;
};

inline random_list make_random_list(std::mt19937_64 &g, size_t p)
{
    constexpr size_t families = 11;
    size_t f1 = pick(g, families);
    size_t f2 = pick(g, 3) ? f1 : pick(g, families);
    std::vector<double> c1 = random_counts(g, p, f1), c2 = random_counts(g, p, f2);
    if (pick(g, 2))
        adjust_zero_counts(c1.data(), c2.data(), p);
    random_list r{unshuffled_pair_list(c1, c2), observed_of(c1, c2)};
    std::shuffle(r.list.begin(), r.list.end(), g);
    return r;
}

// The ratio S2 / S1 of the records at the given increasing positions, summed
// from the lowest position up.
inline observed_ratio combination_ratio(const count_pair *list, const std::vector<uint64_t> &pos)
{
    double s1 = list[pos[0]].first, s2 = list[pos[0]].second;
    for (size_t i = 1; i < pos.size(); ++i) {
        s1 += list[pos[i]].first;
        s2 += list[pos[i]].second;
    }
    return ratio_of(s2, s1);
}

// near_exact_pval passes ratios of at least 1, negative ones (negative
// counts) and NaN, never one in [0, 1).
inline bool passable_threshold(const observed_ratio &r)
{
    const double v = r.num / r.den;
    return !(v >= 0.0 && v < 1.0);
}

// A ratio for a list: its observed ratio; exactly the ratio of a combination
// that is examined (a tie above) or its reciprocal (a tie below); either
// with its numerator one ulp off; or a plain double.  Ratios near_exact_pval
// cannot pass fall back to the observed one.
inline observed_ratio pick_threshold(std::mt19937_64 &g, const observed_ratio &observed,
                                     const observed_ratio &t)
{
    static const double plain[] = {1.0, -0.5, -2.0, INFINITY, -INFINITY, NAN, 2.5};
    const double towards = pick(g, 2) ? INFINITY : -INFINITY;
    const observed_ratio flipped = ratio_of(t.den, t.num);
    observed_ratio o;
    switch (pick(g, 8)) {
    case 0: o = observed; break;
    case 1:
    case 2: o = t; break;
    case 3: o = ratio_of(std::nextafter(t.num, towards), t.den); break;
    case 4:
    case 5: o = flipped; break;
    case 6: o = ratio_of(std::nextafter(flipped.num, towards), flipped.den); break;
    default: o = ratio_of_double(plain[pick(g, 7)]); break;
    }
    return passable_threshold(o) ? o : observed;
}

#endif
