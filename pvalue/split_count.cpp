// Counting the combinations of four records as pairs of pairs.
//
// The rule.  A combination Q of four positions has fp sums S1', S2' (added in
// position order) and counts above when S2' / S1' >= R, else below when S2' /
// S1' <= 1 / R, compared exactly, R = num / den >= 1 the observed ratio.
//
// Whole numbers.  When every value is a whole number below 2^50, every sum
// of four is exact in any order, and with num and den whole too, "S2 / S1 >=
// num / den" is "S2 den - S1 num >= 0": a sum over the records of the exact
// integer keys s_i den - f_i num, with no band at all.
//
// A linear test for everything else.  Let h = fl(R), so |R - h| <= u h, W(Q)
// = S2 - h S1 and M(Q) = S2 + h S1 over the exact sums, u = 2^-53.  For
// records of non-negative values (so S1' and S2' are within a factor (1 +-
// 3u) of S1 and S2, and a sum is 0 exactly when all its terms are):
//   W(Q) >= 5u M(Q)   implies  S2' >= R S1', so Q is above;
//   W(Q) <= -5u M(Q)  implies  S2' < R S1', so Q is not above.
// (S1 = 0 < S2 gives W = M > 0 and an infinite quotient: above, as the rule
// says.  S1 = S2 = 0, the 0 / 0 that counts nowhere, happens only for four
// records (0, 0), and is taken out by count below.)
// W and M add up over the records: W(Q) = sum of w_i = s_i - h f_i and M(Q)
// = sum of m_i = s_i + h f_i.  With a margin e_i = C m_i, C = 2^-48 = 32u,
// and the keys
//   kp_i = w_i - e_i  rounded down onto a grid of 2^g,
//   km_i = w_i + e_i  rounded up onto it,
// integers once divided by 2^g, Q is certainly above when the sum of kp over
// Q is >= 0 and certainly not above when the sum of km is < 0.  Computed in
// double, w_i - e_i is within about 3u m_i of its exact value, and rounding
// down onto the grid only lowers it, so a kp sum >= 0 leaves W(Q) >= (32 -
// 3.1)u M(Q): far more than the 5u needed; likewise for km.  The grid is as
// fine as lets every sum of four keys stay below 2^52 (exact integers); it
// only widens the band between the two tests, never breaks them.  Everything
// in the band goes to the rule itself.
//
// Below by symmetry.  The list holds every record mirrored, (f, s) and (s,
// f), equally often; sigma maps each position to a position of its mirror, a
// bijection.  For Q and its mirror P = sigma(Q), S1(Q) = S2(P) and S2(Q) =
// S1(P), and "S2' / S1' <= 1 / R" of Q is "S1' / S2' >= R", so the same
// bounds give:
//   W(P) >= 5u M(P)   implies  Q is below,
//   W(P) <= -5u M(P)  implies  Q is not below.
// So one set of keys serves both: a combination certainly above stands for
// an above Q and for a below sigma^-1(Q) alike, and only the band needs the
// rule, for above on Q and for below on sigma(Q).  For R > 1 a below
// combination is never above; R = 1 is counted apart.
//
// Pairs of pairs.  The key sums are exact, so a combination's decision does
// not depend on how it is added up.  A combination of four positions splits
// into two disjoint pairs of positions in exactly three ways, so 3 x (the
// combinations whose kp sum is >= 0) is the number of unordered pairs {A, B}
// of disjoint position pairs with kp(A) + kp(B) >= 0.  The pairs are sorted
// by key once and counted by two pointers; the pairs of pairs that share a
// position x, {x, y} and {x, z}, have the sum 2 kp_x + kp_y + kp_z, so they
// are the pairs {y, z} with a key >= -2 kp_x that do not hold x: counted from
// the same sorted keys.
//
// The band.  The three splits of a combination have the same kp and km
// sums, so a combination in the band comes up at all three of them or at
// none; it is decided at one, the split whose pairs do not interleave in
// list order, and counts three times.  The rule there is the rule itself:
// the list-order sums of the combination (and of its mirror for below)
// compared with R by error-free products (ratio_test, exact_ratio.h), every
// value in its range here.

#include "split_count.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "exact_ratio.h"

namespace {


constexpr int max_records = 64;
constexpr int max_pairs = max_records * (max_records - 1) / 2;
constexpr double margin = 0x1p-48;
// The largest key on the grid: four of them sum below 2^52.
constexpr int grid_bits = 49;
// Splits in the band settled by the rule before the walk is cheaper: each
// costs a few nanoseconds (one in three the list-order sums of a combination
// and of its mirror, and two exact comparisons), the walk of a 56-record list
// with many ties about 200 microseconds with AVX-512 (bench/README.md).
constexpr uint64_t max_band_candidates = 48000;
// Whole numbers below 2^50: every sum of four is exact, in any order.
constexpr double exact_sum_limit = 0x1p50;

uint64_t bits_of(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// +0, or a magnitude at which no product or sum of the test leaves the
// normal range; the comparisons also refuse NaN.
bool in_range(double v)
{
    return bits_of(v) == 0 || (v >= 0x1p-400 && v <= 0x1p400);
}

uint64_t choose4(uint64_t k)
{
    return k < 4 ? 0 : k * (k - 1) * (k - 2) * (k - 3) / 24;
}

// x rounded down and up to whole numbers (|x| < 2^62).
int64_t floor_int(double x)
{
    const int64_t t = static_cast<int64_t>(x);
    return t - (static_cast<double>(t) > x);
}
int64_t ceil_int(double x)
{
    const int64_t t = static_cast<int64_t>(x);
    return t + (static_cast<double>(t) < x);
}

struct pair_key {
    int64_t key;
    uint16_t id;  // a << 6 | b for positions a < b
};

// A position of the mirror of every record, one to one, or false when the
// list is not closed under swapping first and second: by sorting, for lists
// of many distinct values.
bool mirror_positions_sorted(const count_pair *list, int n, uint8_t *mirror)
{
    struct key {
        uint64_t hi, lo;
        int at;
    };
    key plain[max_records], swapped[max_records];
    for (int i = 0; i < n; ++i) {
        const uint64_t f = bits_of(list[i].first), s = bits_of(list[i].second);
        plain[i] = {f, s, i};
        swapped[i] = {s, f, i};
    }
    auto less = [](const key &a, const key &b) { return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo; };
    std::sort(plain, plain + n, less);
    std::sort(swapped, swapped + n, less);
    for (int r = 0; r < n; ++r) {
        if (plain[r].hi != swapped[r].hi || plain[r].lo != swapped[r].lo)
            return false;
        mirror[plain[r].at] = static_cast<uint8_t>(swapped[r].at);
    }
    return true;
}

// The same, for a list of at most 16 distinct values (a pair list of 4 + 4
// counts has at most 8): each record's values numbered, the records put in
// buckets by the two numbers, and the k-th record of bucket (v, w) the
// mirror of the k-th of bucket (w, v), which must be as full.  Values are
// told apart by their bits, as the sort does.
bool mirror_positions(const count_pair *list, int n, uint8_t *mirror)
{
    constexpr int most = 16;
    uint64_t value[most];
    int values = 0;
    auto number_of = [&](double x) {
        const uint64_t b = bits_of(x);
        for (int v = 0; v < values; ++v)
            if (value[v] == b)
                return v;
        if (values == most)
            return -1;
        value[values] = b;
        return values++;
    };
    uint8_t bucket[max_records];
    for (int i = 0; i < n; ++i) {
        const int f = number_of(list[i].first), s = number_of(list[i].second);
        if (f < 0 || s < 0)
            return mirror_positions_sorted(list, n, mirror);
        bucket[i] = static_cast<uint8_t>(f * most + s);
    }
    uint8_t start[most * most + 1] = {};
    for (int i = 0; i < n; ++i)
        ++start[bucket[i] + 1];
    for (int v = 0; v < values; ++v)
        for (int w = v + 1; w < values; ++w)
            if (start[v * most + w + 1] != start[w * most + v + 1])
                return false;
    for (int b = 0; b < most * most; ++b)
        start[b + 1] = static_cast<uint8_t>(start[b + 1] + start[b]);
    uint8_t next[most * most], slot[max_records], at[max_records];
    std::memcpy(next, start, sizeof next);
    for (int i = 0; i < n; ++i) {
        slot[i] = next[bucket[i]]++;
        at[slot[i]] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < n; ++i) {
        const int b = bucket[i], swapped = b % most * most + b / most;
        mirror[i] = at[start[swapped] + (slot[i] - start[b])];
    }
    return true;
}

// Two positions in rising order.
void order_pair(int &a, int &b)
{
    const int lo = a < b ? a : b, hi = a < b ? b : a;
    a = lo;
    b = hi;
}

using wide = __int128;
using uwide = unsigned __int128;

// What the sorts order by: a key itself, or a pair's key.
int64_t key_of(int64_t k)
{
    return k;
}
wide key_of(wide k)
{
    return k;
}
int64_t key_of(const pair_key &p)
{
    return p.key;
}

template <class T>
void insertion_sort_keys(T *k, int n)
{
    for (int i = 1; i < n; ++i) {
        const T v = k[i];
        int j = i;
        for (; j > 0 && key_of(k[j - 1]) > key_of(v); --j)
            k[j] = k[j - 1];
        k[j] = v;
    }
}

int bit_length(uwide x)
{
    const uint64_t top = static_cast<uint64_t>(x >> 64), bottom = static_cast<uint64_t>(x);
    return top ? 128 - __builtin_clzll(top) : bottom ? 64 - __builtin_clzll(bottom) : 0;
}

// Sorts n elements whose keys lie in [lo, hi] from src into dst; src is
// scratch afterwards.  Buckets by the high bits of key - lo, sorts a crowded
// bucket again over its own range, so that clusters of near-equal keys at any
// scale spread out, and ends with one pass of insertion, which moves an
// element only within its bucket.
template <class T, class Key>
void sort_by_keys(T *src, T *dst, int n, Key lo, Key hi)
{
    constexpr int crowded = 16, max_buckets = 4096;
    if (n <= crowded || lo == hi) {
        std::memcpy(dst, src, n * sizeof dst[0]);
        insertion_sort_keys(dst, n);
        return;
    }
    int buckets = 16;
    while (buckets < 2 * n && buckets < max_buckets)
        buckets *= 2;
    const int shift = std::max(0, bit_length(static_cast<uwide>(hi - lo)) -
                                      std::countr_zero(static_cast<unsigned>(buckets)));
    auto bucket_of = [&](const T &e) {
        return static_cast<int>(static_cast<uwide>(key_of(e) - lo) >> shift);
    };
    uint16_t start[max_buckets + 1] = {};
    for (int i = 0; i < n; ++i)
        ++start[bucket_of(src[i]) + 1];
    int crowd = 0;
    for (int b = 0; b < buckets; ++b) {
        crowd += start[b + 1] > crowded;
        start[b + 1] = static_cast<uint16_t>(start[b + 1] + start[b]);
    }
    uint16_t next[max_buckets];
    std::memcpy(next, start, buckets * sizeof next[0]);
    for (int i = 0; i < n; ++i)
        dst[next[bucket_of(src[i])]++] = src[i];
    for (int b = 0; crowd > 0 && b < buckets; ++b) {
        const int from = start[b], m = start[b + 1] - from;
        if (m <= crowded)
            continue;
        --crowd;
        Key blo = key_of(dst[from]), bhi = blo;
        for (int i = from + 1; i < from + m; ++i) {
            blo = key_of(dst[i]) < blo ? key_of(dst[i]) : blo;
            bhi = key_of(dst[i]) > bhi ? key_of(dst[i]) : bhi;
        }
        std::memcpy(src + from, dst + from, m * sizeof src[0]);
        sort_by_keys(src + from, dst + from, m, blo, bhi);
    }
    insertion_sort_keys(dst, n);
}

// The combinations of four of the n keys whose sum is >= cs[t], for each of
// the ncs thresholds, from one sort of the pairs' keys.
template <class Key>
void combinations_at_least(const Key *key, int n, const Key *cs, int ncs, uint64_t *counts)
{
    Key raw[max_pairs], pair[max_pairs];
    int pairs = 0;
    Key lo = key[0] + key[1], hi = lo;
    for (int a = 0; a < n; ++a)
        for (int b = a + 1; b < n; ++b) {
            const Key v = key[a] + key[b];
            raw[pairs++] = v;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    sort_by_keys(raw, pair, pairs, lo, hi);
    Key single[max_records];
    std::memcpy(single, key, n * sizeof single[0]);
    insertion_sort_keys(single, n);
    for (int t = 0; t < ncs; ++t) {
        const Key c = cs[t];
        uint64_t splits = 0;
        for (int l = 0, h = pairs - 1; l < h;) {
            if (pair[l] + pair[h] >= c) {
                splits += static_cast<uint64_t>(h - l);
                --h;
            } else {
                ++l;
            }
        }
        // Pairs of pairs sharing x: {y, z} with a key >= c - 2 key_x, less
        // those that hold x.  Thresholds in rising order walk the sorted
        // pairs once.
        int at = 0;
        for (int r = n - 1; r >= 0; --r) {
            const Key x = single[r];
            while (at < pairs && pair[at] < c - 2 * x)
                ++at;
            const Key u = c - 3 * x;
            const int below_u = static_cast<int>(std::lower_bound(single, single + n, u) - single);
            const uint64_t holding_x = static_cast<uint64_t>(n - below_u) - (x >= u);
            splits -= static_cast<uint64_t>(pairs - at) - holding_x;
        }
        counts[t] = splits / 3;
    }
}

// Whole numbers below 2^50 with num and den whole: the keys s den - f num,
// exact, in 64 bits when they fit and 128 otherwise.  Through the mirror,
// below is the same test on the mirrored combination, so one count serves
// both.
template <class Key>
void whole_keys(const count_pair *list, int n, double num, double den, Key *key)
{
    const Key p = static_cast<Key>(static_cast<int64_t>(num));
    const Key q = static_cast<Key>(static_cast<int64_t>(den));
    for (int i = 0; i < n; ++i)
        key[i] = static_cast<Key>(static_cast<int64_t>(list[i].second)) * q -
                 static_cast<Key>(static_cast<int64_t>(list[i].first)) * p;
}

bool whole_count(const count_pair *list, int n, const observed_ratio &r, bool unit,
                 uint64_t zero_records, double largest_value, split_counts &out)
{
    const double big = std::max(r.num, r.den);
    if (!(r.num == std::trunc(r.num) && r.den == std::trunc(r.den) && big < 0x1p53))
        return false;
    uint8_t mirror[max_records];
    if (!mirror_positions(list, n, mirror))
        return false;
    const uint64_t combinations = choose4(static_cast<uint64_t>(n));
    const uint64_t nan_combinations = choose4(zero_records);
    uint64_t count = 0;
    // Four keys of magnitude below 2 x 2^28 x 2^31 stay below 2^62.
    if (largest_value < 0x1p28 && big < 0x1p31) {
        int64_t key[max_records];
        whole_keys(list, n, r.num, r.den, key);
        const int64_t zero = 0;
        combinations_at_least(key, n, &zero, 1, &count);
    } else {
        wide key[max_records];
        whole_keys(list, n, r.num, r.den, key);
        const wide zero = 0;
        combinations_at_least(key, n, &zero, 1, &count);
    }
    // A 0 / 0 combination has the key sum 0, and counts nowhere.
    out.above = count - nan_combinations;
    out.below = unit ? combinations - nan_combinations - out.above : out.above;
    out.settled_by_rule = 0;
    out.exact_keys = true;
    return true;
}

}  // namespace

bool split_count_4(const count_pair *list, uint64_t n64, const observed_ratio &r, bool split,
                   split_counts &out)
{
    if (n64 < 4 || n64 > max_records || !(in_range(r.num) && in_range(r.den) && r.den > 0.0))
        return false;
    const double high = r.num / r.den;
    if (!(high <= 0x1p100) || compare_ratios(r.num, r.den, 1.0, 1.0) < 0)
        return false;
    const int n = static_cast<int>(n64);
    double lower[max_records], upper[max_records];
    double largest = 0.0;
    uint64_t zero_records = 0;
    bool exact_sums = true;
    double largest_value = 0.0;
    for (int i = 0; i < n; ++i) {
        const double f = list[i].first, s = list[i].second;
        if (!in_range(f) || !in_range(s))
            return false;
        exact_sums &= f == std::trunc(f) && s == std::trunc(s) && f < exact_sum_limit &&
                      s < exact_sum_limit;
        largest_value = std::max(largest_value, std::max(f, s));
        const double hf = high * f;
        const double w = s - hf, e = margin * (s + hf);
        lower[i] = w - e;
        upper[i] = w + e;
        largest = std::max(largest, std::max(std::fabs(lower[i]), std::fabs(upper[i])));
        zero_records += bits_of(f) == 0 && bits_of(s) == 0;
    }
    const uint64_t combinations = choose4(n64), nan_combinations = choose4(zero_records);
    const bool unit = r.num == r.den;
    if (unit && !split) {
        // Every combination that is a number is extreme.
        out = {combinations - nan_combinations, 0, 0, false};
        return true;
    }
    if (exact_sums && whole_count(list, n, r, unit, zero_records, largest_value, out))
        return true;
    uint8_t mirror[max_records];
    if (!mirror_positions(list, n, mirror))
        return false;

    // The grid: keys of magnitude below 2^grid_bits once scaled, the scaling
    // a power of two (exact).
    int exponent = 0;
    std::frexp(largest, &exponent);
    const double scale = std::ldexp(1.0, grid_bits - exponent);
    int64_t kp[max_records], km[max_records];
    for (int i = 0; i < n; ++i) {
        kp[i] = floor_int(lower[i] * scale);
        km[i] = ceil_int(upper[i] * scale);
    }

    // Every pair's key, and how far a km sum of a pair can exceed its key.
    pair_key raw[max_pairs], keys[max_pairs];
    int pairs = 0;
    int64_t slack = 0, lo = INT64_MAX, hi = INT64_MIN;
    for (int a = 0; a < n; ++a)
        for (int b = a + 1; b < n; ++b) {
            const int64_t v = kp[a] + kp[b];
            raw[pairs++] = {v, static_cast<uint16_t>(a << 6 | b)};
            slack = std::max(slack, (km[a] + km[b]) - v);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    sort_by_keys(raw, keys, pairs, lo, hi);

    // Pairs of pairs with a key sum >= 0, noting for every lower pair the
    // upper ones whose sum falls in the band [-2 slack, 0): only there can
    // the km sum be >= 0 while the kp sum is not.
    const int64_t band = 2 * slack;
    struct band_run {
        int lower, upper, from;
    };
    band_run runs[max_pairs];
    int n_runs = 0;
    uint64_t certain = 0;
    {
        int l = 0, h = pairs - 1;
        while (l < h) {
            const int64_t sum = keys[l].key + keys[h].key;
            if (sum >= 0) {
                certain += static_cast<uint64_t>(h - l);
                --h;
            } else {
                runs[n_runs] = {l, h, h + 1};
                n_runs += sum >= -band;
                ++l;
            }
        }
    }
    // Minus the pairs of pairs that share a position x: pairs {y, z} with a
    // key >= -2 kp_x, less those that hold x (kp_y >= -3 kp_x, y != x).
    // Thresholds taken in rising order walk the sorted keys once.
    int order[max_records];
    for (int i = 0; i < n; ++i)
        order[i] = i;
    std::sort(order, order + n, [&](int a, int b) { return kp[a] > kp[b]; });
    int64_t sorted_kp[max_records];
    for (int i = 0; i < n; ++i)
        sorted_kp[i] = kp[order[n - 1 - i]];
    {
        int at = 0;  // keys below the threshold
        for (int r = 0; r < n; ++r) {
            const int64_t x = kp[order[r]];
            while (at < pairs && keys[at].key < -2 * x)
                ++at;
            const uint64_t with_x_excluded = static_cast<uint64_t>(pairs - at);
            const int64_t t = -3 * x;
            const int below_t =
                static_cast<int>(std::lower_bound(sorted_kp, sorted_kp + n, t) - sorted_kp);
            const uint64_t holding_x = static_cast<uint64_t>(n - below_t) - (x >= t);
            certain -= with_x_excluded - holding_x;
        }
    }
    certain -= 3 * nan_combinations;

    // How many splits the band holds, before any is settled: a list of many
    // ties goes to the walk at once.
    const uint64_t most = max_band_candidates;
    uint64_t candidates = 0;
    for (int k = 0; k < n_runs; ++k) {
        const int i = runs[k].lower;
        const int64_t least = -band - keys[i].key;
        const pair_key *first = std::lower_bound(
            keys + i + 1, keys + runs[k].upper + 1, least,
            [](const pair_key &p, int64_t v) { return p.key < v; });
        runs[k].from = static_cast<int>(first - keys);
        candidates += static_cast<uint64_t>(runs[k].upper + 1 - runs[k].from);
        if (candidates > most)
            return false;
    }

    // The band: every combination in it comes up once per split, all three
    // splits having the same key sums, and is decided once, at the split
    // whose two pairs do not interleave in list order (a < b < c < d or c <
    // d < a < b), by the rule itself on the list-order sums.
    const ratio_test rule(r);
    uint64_t above = 0, below = 0, by_rule = 0, decided = 0;
    for (int k = 0; k < n_runs; ++k) {
        const int i = runs[k].lower;
        const int a = keys[i].id >> 6, b = keys[i].id & 63;
        const int ma = std::min(mirror[a], mirror[b]), mb = std::max(mirror[a], mirror[b]);
        const int64_t km_ab = km[a] + km[b];
        for (int j = runs[k].upper; j >= runs[k].from; --j) {
            const int c = keys[j].id >> 6, d = keys[j].id & 63;
            if (km_ab + km[c] + km[d] < 0 || a == c || a == d || b == c || b == d)
                continue;
            ++by_rule;
            if (!(b < c || d < a))
                continue;
            ++decided;
            const bool ab_first = b < c;
            const count_pair &q0 = list[ab_first ? a : c], &q1 = list[ab_first ? b : d];
            const count_pair &q2 = list[ab_first ? c : a], &q3 = list[ab_first ? d : b];
            const double s1 = ((q0.first + q1.first) + q2.first) + q3.first;
            const double s2 = ((q0.second + q1.second) + q2.second) + q3.second;
            above += rule.above(s1, s2);
            if (unit)
                continue;
            // Below on the mirror: its positions merged into list order.
            int m[4] = {ma, mb, std::min(mirror[c], mirror[d]), std::max(mirror[c], mirror[d])};
            order_pair(m[0], m[2]);
            order_pair(m[1], m[3]);
            order_pair(m[1], m[2]);
            const double t1 =
                ((list[m[0]].first + list[m[1]].first) + list[m[2]].first) + list[m[3]].first;
            const double t2 =
                ((list[m[0]].second + list[m[1]].second) + list[m[2]].second) + list[m[3]].second;
            below += rule.below(t1, t2);
        }
    }
    // Every combination was counted once per split; anything else would be a
    // flaw in the bound, and the walk is the safe answer.
    if (certain % 3 != 0 || by_rule != 3 * decided)
        return false;
    out.above = certain / 3 + above;
    out.below = unit ? combinations - nan_combinations - out.above : certain / 3 + below;
    out.settled_by_rule = by_rule;
    out.exact_keys = false;
    return true;
}
