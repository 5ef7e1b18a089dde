#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "exit_status.h"
#include "pvalue.h"
#include "vp_alloc.h"
#include "vp_binomial.h"
#include "vp_shuffle.h"
#include "draws.h"

namespace {

// Each zero takes one thousandth of the other condition's mean.
constexpr double zero_divisor = 1000.0;
// Passes averaged for 5 or more pairs when tracing.
constexpr unsigned debug_passes = 5;
// Above this many pairs the trace does not state the number of possible FCs.
constexpr size_t max_pairs_possible_traced = 10;
// Up to this many pairs the counting is exhaustive and one pass is exact.
constexpr size_t max_exhaustive_pairs = 4;

double sum_of(const double *counts, size_t n)
{
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i)
        sum += counts[i];
    return sum;
}

// An exhaustive P-value is a function of the pooled counts and the observed
// ratio alone: the pair list is a function of the multiset of pooled counts
// (the shuffle depends on nothing else), and every combination of it is
// examined.  So is a sampled one whose draws come from the feature's own
// stream, seeded from the same content.  Tables repeat such count sets often
// (every all-zero feature becomes all ones, low counts recur), so their
// P-values are remembered, keyed on the bits of the sorted pooled counts and
// of the ratio's terms.  Per thread, so that parallel callers share nothing;
// a fixed number of slots, so memory stays bounded.  Never while tracing,
// whose output shows every step.
template <size_t MaxPairs>
struct pval_memo {
    static constexpr size_t slots = 4096;
    static constexpr size_t max_values = 2 * MaxPairs;
    struct entry {
        uint64_t values[max_values];
        uint64_t num, den;
        double p;
        size_t len;
    };
    entry table[slots] = {};

    struct key {
        uint64_t values[max_values];
        uint64_t num, den;
        size_t len;
        size_t slot;
    };

    static uint64_t bits(double d)
    {
        uint64_t b;
        std::memcpy(&b, &d, sizeof b);
        return b;
    }

    static key make_key(const double *counts1, const double *counts2, size_t pairs,
                        const observed_ratio &observed)
    {
        key k;
        k.len = 2 * pairs;
        for (size_t i = 0; i < k.len; ++i) {
            const uint64_t v = bits(i < pairs ? counts1[i] : counts2[i - pairs]);
            size_t j = i;
            for (; j > 0 && k.values[j - 1] > v; --j)
                k.values[j] = k.values[j - 1];
            k.values[j] = v;
        }
        k.num = bits(observed.num);
        k.den = bits(observed.den);
        uint64_t h = 0x9e3779b97f4a7c15ULL ^ k.len;
        auto mix = [&h](uint64_t v) {
            h = (h ^ v) * 0xff51afd7ed558ccdULL;
            h ^= h >> 32;
        };
        for (size_t i = 0; i < k.len; ++i)
            mix(k.values[i]);
        mix(k.num);
        mix(k.den);
        k.slot = h % slots;
        return k;
    }

    const double *find(const key &k) const
    {
        const entry &e = table[k.slot];
        if (e.len == k.len && e.num == k.num && e.den == k.den &&
            std::memcmp(e.values, k.values, k.len * sizeof k.values[0]) == 0)
            return &e.p;
        return nullptr;
    }

    void store(const key &k, double p)
    {
        entry &e = table[k.slot];
        std::memcpy(e.values, k.values, k.len * sizeof k.values[0]);
        e.len = k.len;
        e.num = k.num;
        e.den = k.den;
        e.p = p;
    }
};

using exhaustive_memo = pval_memo<max_exhaustive_pairs>;
using sampled_memo = pval_memo<near_exact_max_pairs>;

// Each allocated on a thread's first call that uses it and released when the
// thread ends.
template <class Memo>
Memo &memo()
{
    static thread_local std::unique_ptr<Memo> m(new Memo);
    return *m;
}

// The sampled counting of a call with draws of its own: the stream, seeded
// from the content hash that the shuffle computed, lives on the call's stack
// and is set for this thread's members while they count.
struct call_stream {
    vp_random_stream stream;
    explicit call_stream(uint64_t content_hash)
    {
        vp_random_stream_seed(stream, static_cast<unsigned int>(content_hash & 0xffffffffu));
        pvalue_call_stream = &stream;
    }
    ~call_stream() { pvalue_call_stream = nullptr; }
    call_stream(const call_stream &) = delete;
    call_stream &operator=(const call_stream &) = delete;
};


// Every two pooled positions j < k as (pooled[j], pooled[k]) in the first
// half and mirrored in the second, in lexicographic order of (j, k).  Returns
// the number of index pairs built.
uint64_t build_pair_list(const double *pooled, uint64_t pooled_len, uint64_t half,
                         count_pair *pair_list)
{
    uint64_t built = 0;
    for (uint64_t j = 0; j < pooled_len; ++j)
        for (uint64_t k = j + 1; k < pooled_len; ++k, ++built)
            if (built < half) {
                pair_list[built] = {pooled[j], pooled[k]};
                pair_list[built + half] = {pooled[k], pooled[j]};
            }
    return built;
}

void trace_observed(double observed_fc, uint64_t pooled_len)
{
    std::printf("Observed: FC = %0.3f  1 / Observed FC = %0.3f\n", observed_fc, 1.0 / observed_fc);
    std::printf("\n%lu choose %d = %lu combinations of counts\n", pooled_len, 2,
                vp_n_choose_k(pooled_len, 2));
    std::puts("2 ordered pairs for each combination:");
}

void trace_pair_list(const count_pair *pair_list, uint64_t list_len)
{
    for (uint64_t i = 0; i < list_len; ++i)
        std::printf("%2lu %3.0f, %3.0f   FC = %0.3f\n", i, pair_list[i].first, pair_list[i].second,
                    pair_list[i].first / pair_list[i].second);
}

// Whole numbers below 2^50 in magnitude: every sum of four of them is exact,
// in any order.
bool exact_sums(const double *values, uint64_t n)
{
    for (uint64_t i = 0; i < n; ++i)
        if (!(values[i] == std::trunc(values[i]) && std::fabs(values[i]) < 0x1p50))
            return false;
    return true;
}

// The pooled counts, their pair list, shuffled, and the passes over it.
double pval_of_pair_list(const double *counts1, const double *counts2, size_t pairs,
                         const observed_ratio &observed, near_exact_fault *fault,
                         draw_source draws)
{
    const uint64_t pooled_len = 2 * static_cast<uint64_t>(pairs);
    const uint64_t half = vp_n_choose_k(pooled_len, 2);
    const uint64_t list_len = 2 * half;
    count_pair *pair_list = static_cast<count_pair *>(vp_malloc(list_len, sizeof(count_pair)));
    double *pooled = static_cast<double *>(vp_malloc(pooled_len, sizeof(double)));
    if (pair_list == nullptr || pooled == nullptr) {
        *fault = pair_list == nullptr ? near_exact_fault::no_memory_pair_list
                                      : near_exact_fault::no_memory_pooled;
        vp_free(pooled);
        vp_free(pair_list);
        return 1.0;
    }
    for (size_t i = 0; i < pairs; ++i) {
        pooled[i] = counts1[i];
        pooled[pairs + i] = counts2[i];
    }
    const uint64_t built = build_pair_list(pooled, pooled_len, half, pair_list);
    if (built != half) {
        std::fprintf(stderr, "%lu != %lu\n", built, half);
        std::exit(exit_internal);
    }
    // Every combination counted and every sum exact: the order of the list
    // cannot change a count, so the shuffle is only for the trace to show.
    uint64_t content_hash = 0;
    if (Debug || pairs > max_exhaustive_pairs || !exact_sums(pooled, pooled_len))
        content_hash = vp_shuffle(pair_list, list_len, sizeof(count_pair));
    if (Debug)
        trace_pair_list(pair_list, list_len);
    double p;
    if (draws == draw_source::feature && pairs > max_exhaustive_pairs) {
        const call_stream own(content_hash);
        p = near_exact_pval_passes(pair_list, list_len, pairs, observed);
    } else {
        p = near_exact_pval_passes(pair_list, list_len, pairs, observed);
    }
    vp_free(pooled);
    vp_free(pair_list);
    return p;
}

}  // namespace

void print_count_trace(double observed_fc, uint64_t above, double low, uint64_t below)
{
    std::printf("FCs > %0.3f = %-5lu     FCs < %0.3f = %-5lu\n", observed_fc, above, low, below);
}

void adjust_zero_counts(double *counts1, double *counts2, size_t pairs)
{
    if (pairs != 0) {
        double sum1 = sum_of(counts1, pairs);
        double sum2 = sum_of(counts2, pairs);
        if (sum1 == 0.0 && sum2 == 0.0) {
            for (size_t i = 0; i < pairs; ++i)
                counts1[i] = counts2[i] = 1.0;
        } else {
            double r1 = sum1 / static_cast<double>(pairs) / zero_divisor;
            double r2 = sum2 / static_cast<double>(pairs) / zero_divisor;
            for (size_t i = 0; i < pairs; ++i) {
                if (counts1[i] == 0.0)
                    counts1[i] = r2;
                if (counts2[i] == 0.0)
                    counts2[i] = r1;
            }
        }
    }
    if (Debug) {
        std::puts("Adjusted counts:");
        for (size_t i = 0; i < pairs; ++i)
            std::printf("%f %f\n", counts1[i], counts2[i]);
    }
}

bool near_exact_adjusts(size_t pairs)
{
    return pairs >= 2 && pairs <= near_exact_max_pairs;
}

namespace {

// The P-value of pval_of_pair_list, remembered in Memo when not tracing.
template <class Memo>
double remembered_pval(const double *counts1, const double *counts2, size_t pairs,
                       const observed_ratio &observed, near_exact_fault *fault,
                       draw_source draws)
{
    if (Debug)
        return pval_of_pair_list(counts1, counts2, pairs, observed, fault, draws);
    const typename Memo::key key = Memo::make_key(counts1, counts2, pairs, observed);
    if (const double *p = memo<Memo>().find(key))
        return *p;
    const double p = pval_of_pair_list(counts1, counts2, pairs, observed, fault, draws);
    if (*fault == near_exact_fault::none)
        memo<Memo>().store(key, p);
    return p;
}

}  // namespace

constinit thread_local vp_random_stream *pvalue_call_stream = nullptr;

double near_exact_pval_checked(double *counts1, double *counts2, size_t pairs,
                               near_exact_fault *fault, draw_source draws)
{
    *fault = near_exact_fault::none;
    if (pairs > near_exact_max_pairs) {
        *fault = near_exact_fault::too_many_pairs;
        return 1.0;
    }
    // One pair has no counting function: the method does not apply.
    if (pairs == 1)
        return 1.0;
    adjust_zero_counts(counts1, counts2, pairs);
    const double sum1 = sum_of(counts1, pairs), sum2 = sum_of(counts2, pairs);
    if (sum1 == 0.0 && sum2 == 0.0)
        return 1.0;
    // The counting compares with the exact ratio of the sums, so that which
    // condition comes first cannot move a tie; the trace shows the quotient.
    const observed_ratio observed = observed_ratio_of(sum1, sum2);
    if (Debug)
        trace_observed(observed.fc, 2 * static_cast<uint64_t>(pairs));

    if (pairs <= max_exhaustive_pairs)
        return remembered_pval<exhaustive_memo>(counts1, counts2, pairs, observed, fault, draws);
    // Draws from the run's one sequence depend on every call before this one.
    if (draws == draw_source::run)
        return pval_of_pair_list(counts1, counts2, pairs, observed, fault, draws);
    return remembered_pval<sampled_memo>(counts1, counts2, pairs, observed, fault, draws);
}

const char *near_exact_fault_message(near_exact_fault fault)
{
    switch (fault) {
    case near_exact_fault::too_many_pairs:
        return "near_exact_pval(): Use mann_whitney_pval() for reps > 12.\n";
    case near_exact_fault::no_memory_pair_list:
        return "near_exact_pval(): Could not allocate the pair list.\n";
    case near_exact_fault::no_memory_pooled:
        return "near_exact_pval(): Could not allocate the pooled counts.\n";
    case near_exact_fault::none:
        break;
    }
    return "";
}

double near_exact_pval(double *counts1, double *counts2, size_t pairs, draw_source draws)
{
    near_exact_fault fault;
    const double p = near_exact_pval_checked(counts1, counts2, pairs, &fault, draws);
    if (fault != near_exact_fault::none) {
        std::fputs(near_exact_fault_message(fault), stderr);
        if (fault != near_exact_fault::too_many_pairs)
            std::exit(exit_no_memory);
    }
    return p;
}

double near_exact_pval_passes(const count_pair *pair_list, size_t list_len, size_t pairs,
                              const observed_ratio &observed)
{
    const double observed_fc = observed.fc;
    uint64_t possible =
        pairs <= max_pairs_possible_traced ? vp_n_choose_k(list_len, pairs) : 0;
    unsigned passes = 1;
    if (Debug) {
        std::printf("\n%zu choose %zu = %lu possible FCs from %zu pairs.\n", list_len, pairs,
                    possible, pairs);
        std::printf("P-value = likelihood of FC from %zu pairs >= %0.3f or <= %0.3f\n\n", pairs,
                    observed_fc, 1.0 / observed_fc);
        passes = debug_passes;
    }

    double sum = 0.0, max = 0.0, min = 1.0;
    unsigned run = 0;
    for (uint64_t i = 0;; ++i) {
        uint64_t sampled = 0;
        const uint64_t extreme = count_extreme_fcs(pair_list, list_len, pairs, &sampled, observed);
        // A sample counts the observed combination's peers only as often as
        // it happens to draw them: the usual estimate adds the observed one
        // to both, so that no sampled P-value is 0.  An exhaustive count is
        // exact and stays as it is.
        const uint64_t add = pairs <= max_exhaustive_pairs ? 0 : 1;
        const double p =
            static_cast<double>(extreme + add) / static_cast<double>(sampled + add);
        if (Debug)
            std::printf("Pass %lu: FCs sampled = %lu  P-value = %lu / %lu = %0.3f\n\n", i, sampled,
                        extreme + add, sampled + add, p);
        sum += p;
        if (p > max)
            max = p;
        if (p < min)
            min = p;
        ++run;
        if (pairs <= max_exhaustive_pairs || i + 1 == passes)
            break;
    }
    if (Debug)
        std::printf("P-value span = %0.3f\n\n", max - min);
    return sum / run;
}
