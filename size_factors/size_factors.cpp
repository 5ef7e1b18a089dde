#include "size_factors.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t sign_bit = uint64_t{1} << 63;

// Unsigned keys in the order of the doubles (+0 for -0).
uint64_t order_key(double v)
{
    v += 0.0;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & sign_bit) ? ~bits : bits | sign_bit;
}

double key_value(uint64_t key)
{
    const uint64_t bits = (key & sign_bit) ? key & ~sign_bit : ~key;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// The search for the values at two adjacent ranks of one sample.  Every pass
// looks only at keys whose top `fixed` bits equal those of `prefix`: the range
// that holds the lower rank.  A pass either counts the next `width` bits of
// those keys or, when few enough remain, keeps them all.
struct column_select {
    uint64_t prefix;
    unsigned fixed;
    unsigned width;     // bits counted this pass; 0 when only collecting
    uint64_t below;     // usable values below the range
    uint64_t expected;  // values the range held in the last pass
    uint64_t in_range;  // values seen in the range this pass
    uint64_t *hist;
    uint64_t *keys;
    uint64_t kept;
    uint64_t limit;  // keys this pass may keep
    bool collecting;
    bool overflow;
    bool any_above;
    uint64_t min_above;  // smallest key above the range this pass
    bool done;
    double low, high;
};

}  // namespace

struct size_factor_state {
    size_factor_method method;
    size_t samples;
    size_factor_limits limits;
    unsigned passes_done;
    bool finished;
    int failure;
    uint64_t rows, usable;
    uint64_t first_rows, first_usable;
    uint64_t rank_low, rank_high;
    double fraction;  // upperquartile: weight of the higher rank
    double *logs;
    long double *sums;
    column_select *columns;
    double *factors;
    size_t failed_sample;
};

namespace {

void feed(column_select &c, uint64_t key)
{
    if (c.fixed > 0) {
        const uint64_t top = key >> (64 - c.fixed);
        const uint64_t wanted = c.prefix >> (64 - c.fixed);
        if (top < wanted)
            return;
        if (top > wanted) {
            if (!c.any_above || key < c.min_above) {
                c.min_above = key;
                c.any_above = true;
            }
            return;
        }
    }
    ++c.in_range;
    if (c.width > 0)
        ++c.hist[(key << c.fixed) >> (64 - c.width)];
    if (c.collecting) {
        if (c.kept < c.limit)
            c.keys[c.kept++] = key;
        else
            c.overflow = true;
    }
}

void release_buffers(column_select &c)
{
    std::free(c.hist);
    std::free(c.keys);
    c.hist = nullptr;
    c.keys = nullptr;
}

int fail(size_factor_state *s, int status)
{
    s->finished = true;
    s->failure = status;
    for (size_t j = 0; j < s->samples; ++j)
        release_buffers(s->columns[j]);
    return status;
}

// The value at rank_high when rank_low's value is `low` and the range holds
// no value of a higher rank.
bool take_above(column_select &c)
{
    if (!c.any_above)
        return false;
    c.high = key_value(c.min_above);
    return true;
}

bool finish_from_keys(const size_factor_state *s, column_select &c)
{
    const uint64_t r = s->rank_low - c.below;
    const uint64_t r2 = s->rank_high - c.below;
    if (r >= c.kept)
        return false;
    std::nth_element(c.keys, c.keys + r, c.keys + c.kept);
    c.low = key_value(c.keys[r]);
    c.high = c.low;
    if (r2 != r) {
        if (r2 < c.kept)
            c.high = key_value(*std::min_element(c.keys + r + 1, c.keys + c.kept));
        else if (!take_above(c))
            return false;
    }
    c.done = true;
    return true;
}

// Narrows the range to the bucket of rank_low; finishes when the key is whole.
bool narrow(const size_factor_state *s, column_select &c)
{
    const uint64_t buckets = uint64_t{1} << c.width;
    const unsigned shift = 64 - c.fixed - c.width;
    uint64_t cum = c.below;
    uint64_t b = 0;
    while (b < buckets && cum + c.hist[b] <= s->rank_low)
        cum += c.hist[b++];
    if (b == buckets)
        return false;
    const uint64_t count = c.hist[b];
    c.below = cum;
    c.prefix |= b << shift;
    c.fixed += c.width;
    c.expected = count;
    if (c.fixed < 64)
        return true;

    c.low = key_value(c.prefix);
    c.high = c.low;
    if (s->rank_high >= cum + count) {
        uint64_t next = b + 1;
        while (next < buckets && c.hist[next] == 0)
            ++next;
        if (next < buckets)
            c.high = key_value(c.prefix - b + next);
        else if (!take_above(c))
            return false;
    }
    c.done = true;
    return true;
}

void set_ranks(size_factor_state *s)
{
    const uint64_t t = s->first_usable - 1;
    if (s->method == method_ratio) {
        s->rank_low = t / 2;
        s->rank_high = s->first_usable / 2;
        return;
    }
    // 0.75 t in whole quarters, exactly.
    s->rank_low = t / 4 * 3 + t % 4 * 3 / 4;
    const uint64_t quarters = t % 4 * 3 % 4;
    s->fraction = static_cast<double>(quarters) / 4.0;
    s->rank_high = quarters != 0 ? s->rank_low + 1 : s->rank_low;
}

double sample_value(const size_factor_state *s, const column_select &c)
{
    if (s->method == method_ratio) {
        const long double two = static_cast<long double>(c.low) + c.high;
        return std::exp(static_cast<double>(two / 2));
    }
    if (s->fraction == 0.0 || c.high == c.low)
        return c.low;
    return (1.0 - s->fraction) * c.low + s->fraction * c.high;
}

// Divides by the geometric mean of all; fails on a zero.
int scale_to_unit_mean(size_factor_state *s)
{
    for (size_t j = 0; j < s->samples; ++j) {
        if (!(s->factors[j] > 0.0)) {
            s->failed_sample = j;
            return fail(s, sf_zero_factor);
        }
    }
    const double mean = geometric_mean(s->factors, s->samples);
    for (size_t j = 0; j < s->samples; ++j)
        s->factors[j] /= mean;
    return sf_ok;
}

}  // namespace

size_factor_limits size_factors_default_limits(size_t samples)
{
    unsigned bits = 16;
    const uint64_t budget = uint64_t{32} << 20;
    while (bits > 8 && static_cast<uint64_t>(samples) * (uint64_t{8} << bits) > budget)
        --bits;
    return size_factor_limits{bits, uint64_t{1} << bits};
}

bool size_factor_method_from_name(const char *name, size_factor_method *method)
{
    for (int m = method_ratio; m <= method_total; ++m) {
        if (std::strcmp(name, size_factor_method_name(static_cast<size_factor_method>(m))) == 0) {
            *method = static_cast<size_factor_method>(m);
            return true;
        }
    }
    return false;
}

const char *size_factor_method_name(size_factor_method method)
{
    switch (method) {
    case method_ratio:
        return "ratio";
    case method_upperquartile:
        return "upperquartile";
    case method_total:
        return "total";
    }
    return "?";
}

size_factor_state *size_factors_new(size_factor_method method, size_t samples,
                                    const size_factor_limits *limits)
{
    if (samples == 0)
        return nullptr;
    auto *s = static_cast<size_factor_state *>(std::calloc(1, sizeof(size_factor_state)));
    if (s == nullptr)
        return nullptr;
    s->method = method;
    s->samples = samples;
    s->limits = limits ? *limits : size_factors_default_limits(samples);
    s->limits.digit_bits = std::clamp(s->limits.digit_bits, 1u, 16u);
    s->limits.collect_max = std::min(s->limits.collect_max, uint64_t{1} << 32);
    s->logs = static_cast<double *>(std::calloc(samples, sizeof(double)));
    s->sums = static_cast<long double *>(std::calloc(samples, sizeof(long double)));
    s->columns = static_cast<column_select *>(std::calloc(samples, sizeof(column_select)));
    s->factors = static_cast<double *>(std::calloc(samples, sizeof(double)));
    if (!s->logs || !s->sums || !s->columns || !s->factors) {
        size_factors_free(s);
        return nullptr;
    }
    return s;
}

void size_factors_free(size_factor_state *s)
{
    if (s == nullptr)
        return;
    if (s->columns) {
        for (size_t j = 0; j < s->samples; ++j)
            release_buffers(s->columns[j]);
    }
    std::free(s->logs);
    std::free(s->sums);
    std::free(s->columns);
    std::free(s->factors);
    std::free(s);
}

bool size_factors_need_pass(const size_factor_state *s)
{
    return !s->finished;
}

int size_factors_begin_pass(size_factor_state *s)
{
    s->rows = 0;
    s->usable = 0;
    if (s->method == method_total) {
        for (size_t j = 0; j < s->samples; ++j)
            s->sums[j] = 0.0L;
        return sf_ok;
    }
    for (size_t j = 0; j < s->samples; ++j) {
        column_select &c = s->columns[j];
        if (c.done)
            continue;
        release_buffers(c);
        c.in_range = 0;
        c.kept = 0;
        c.overflow = false;
        c.any_above = false;
        if (s->passes_done == 0) {
            c.width = s->limits.digit_bits;
            c.collecting = s->limits.collect_max > 0;
            c.limit = s->limits.collect_max;
        } else if (c.expected <= s->limits.collect_max) {
            c.width = 0;
            c.collecting = true;
            c.limit = c.expected;
        } else {
            c.width = std::min(s->limits.digit_bits, 64 - c.fixed);
            c.collecting = false;
            c.limit = 0;
        }
        if (c.width > 0) {
            c.hist = static_cast<uint64_t *>(std::calloc(size_t{1} << c.width, sizeof(uint64_t)));
            if (c.hist == nullptr)
                return fail(s, sf_no_memory);
        }
        if (c.collecting) {
            c.keys = static_cast<uint64_t *>(std::malloc((c.limit ? c.limit : 1) * sizeof(uint64_t)));
            if (c.keys == nullptr)
                return fail(s, sf_no_memory);
        }
    }
    return sf_ok;
}

void size_factors_add_row(size_factor_state *s, const double *values)
{
    ++s->rows;
    const size_t n = s->samples;
    switch (s->method) {
    case method_total:
        ++s->usable;
        for (size_t j = 0; j < n; ++j)
            s->sums[j] += values[j];
        return;
    case method_ratio: {
        long double sum = 0.0L;
        for (size_t j = 0; j < n; ++j) {
            if (!(values[j] > 0.0))
                return;
            s->logs[j] = std::log(values[j]);
            sum += s->logs[j];
        }
        ++s->usable;
        const double g = static_cast<double>(sum / static_cast<long double>(n));
        for (size_t j = 0; j < n; ++j) {
            if (!s->columns[j].done)
                feed(s->columns[j], order_key(s->logs[j] - g));
        }
        return;
    }
    case method_upperquartile: {
        size_t j = 0;
        while (j < n && !(values[j] > 0.0))
            ++j;
        if (j == n)
            return;
        ++s->usable;
        for (j = 0; j < n; ++j) {
            if (!s->columns[j].done)
                feed(s->columns[j], order_key(values[j]));
        }
        return;
    }
    }
}

int size_factors_end_pass(size_factor_state *s)
{
    if (s->finished)
        return s->failure;
    const bool first = s->passes_done == 0;
    ++s->passes_done;
    if (first) {
        s->first_rows = s->rows;
        s->first_usable = s->usable;
        if (s->usable == 0)
            return fail(s, sf_no_usable_rows);
    } else if (s->rows != s->first_rows || s->usable != s->first_usable) {
        return fail(s, sf_rows_changed);
    }

    if (s->method == method_total) {
        for (size_t j = 0; j < s->samples; ++j)
            s->factors[j] = static_cast<double>(s->sums[j]);
        s->finished = true;
        return scale_to_unit_mean(s);
    }

    if (first)
        set_ranks(s);
    bool all_done = true;
    for (size_t j = 0; j < s->samples; ++j) {
        column_select &c = s->columns[j];
        if (c.done)
            continue;
        if (!first && c.in_range != c.expected)
            return fail(s, sf_rows_changed);
        bool ok;
        if (c.collecting && !c.overflow)
            ok = finish_from_keys(s, c);
        else if (c.width > 0)
            ok = narrow(s, c);
        else
            ok = false;
        if (!ok)
            return fail(s, sf_rows_changed);
        release_buffers(c);
        if (c.done)
            s->factors[j] = sample_value(s, c);
        else
            all_done = false;
    }
    if (!all_done)
        return sf_ok;
    s->finished = true;
    if (s->method == method_upperquartile)
        return scale_to_unit_mean(s);
    return sf_ok;
}

const double *size_factors_result(const size_factor_state *s)
{
    return s->finished && s->failure == sf_ok ? s->factors : nullptr;
}

uint64_t size_factors_usable_rows(const size_factor_state *s)
{
    return s->first_usable;
}

size_t size_factors_failed_sample(const size_factor_state *s)
{
    return s->failed_sample;
}

double geometric_mean(const double *values, size_t count)
{
    long double sum = 0.0L;
    for (size_t j = 0; j < count; ++j)
        sum += std::log(values[j]);
    return std::exp(static_cast<double>(sum / static_cast<long double>(count)));
}

double size_factor_spread(const double *factors, const size_t *group_sizes, size_t groups,
                          size_t *high, size_t *low)
{
    double top = 0.0, bottom = 0.0;
    *high = 0;
    *low = 0;
    size_t start = 0;
    for (size_t g = 0; g < groups; ++g) {
        const double mean = geometric_mean(factors + start, group_sizes[g]);
        start += group_sizes[g];
        if (g == 0 || mean > top) {
            top = mean;
            *high = g;
        }
        if (g == 0 || mean < bottom) {
            bottom = mean;
            *low = g;
        }
    }
    return top / bottom;
}
