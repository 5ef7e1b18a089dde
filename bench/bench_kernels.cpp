// The counting members 2 to 12: every production instruction set this CPU
// runs against the plain reference members, on the same pair lists and from
// the same generator state.  Each run checks its counts against the
// reference's, so a fast but wrong member shows up as an error, not a figure.
//
// After the usual Google Benchmark table comes the summary, from paired
// rounds: in every round the reference and each production variant are
// called in turn on the same list from the same generator state, so that all
// of them see the machine as it is at that moment.  Per variant it gives the
// median CPU time per call and per combination, and the speed-up as the
// median over the rounds of (reference time / variant time) in that round,
// with the lowest and highest round.  On a shared host whose speed drifts,
// figures measured minutes apart can differ by half; a ratio within a round
// is far steadier.
//
// Flags of its own, before Google Benchmark's: --paired_rounds=N (at least N
// rounds, default 7), --paired_seconds=S (and at least S seconds of the
// reference's time, default 1), --paired_only (no Google Benchmark table).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "count_reference.h"
#include "kernels.h"
#include "pvalue.h"
#include "vp_random.h"
#include "walks.h"

bool Debug = false;

namespace {

// The seed every call starts from: srandom for the reference, vp_srandom for
// production, so both walk the same sample.
constexpr unsigned draw_seed = 20240611;

struct workload {
    std::vector<count_pair> list;
    observed_ratio observed;
};

// The pair list near_exact_pval builds from two conditions' counts: every
// two pooled positions j < k as (pooled[j], pooled[k]), then all mirrored,
// then shuffled (here by a fixed generator, so every run sees the same list).
workload make_workload(const std::vector<double> &c1, const std::vector<double> &c2,
                       unsigned shuffle_seed)
{
    std::vector<double> pooled(c1);
    pooled.insert(pooled.end(), c2.begin(), c2.end());
    const size_t m = pooled.size() * (pooled.size() - 1) / 2;
    workload w;
    w.list.resize(2 * m);
    size_t e = 0;
    for (size_t j = 0; j < pooled.size(); ++j)
        for (size_t k = j + 1; k < pooled.size(); ++k, ++e) {
            w.list[e] = {pooled[j], pooled[k]};
            w.list[e + m] = {pooled[k], pooled[j]};
        }
    std::mt19937_64 g(shuffle_seed);
    for (size_t i = w.list.size(); i > 1; --i)
        std::swap(w.list[i - 1], w.list[std::uniform_int_distribution<size_t>(0, i - 1)(g)]);
    double s1 = 0.0, s2 = 0.0;
    for (double v : c1)
        s1 += v;
    for (double v : c2)
        s2 += v;
    w.observed = observed_ratio_of(s1, s2);
    return w;
}

// "counts": whole-number abundances of an expressed gene, the second
// condition about 1.6 times the first, with replicate scatter.  "equal":
// every count equal (what a row of zeros becomes), so the observed fold change
// and every combination's are exactly 1.  "ties": small whole numbers in two
// conditions that differ, so that a large share of the combinations have a
// fold change exactly equal to the observed one or its reciprocal, the worst
// case for a comparison that must settle ties exactly.
workload counts_workload(unsigned pairs)
{
    std::mt19937_64 g(1000 + pairs);
    std::gamma_distribution<double> scatter(8.0, 1.0 / 8.0);
    std::vector<double> c1, c2;
    for (unsigned i = 0; i < pairs; ++i) {
        c1.push_back(std::round(std::poisson_distribution<int>(250.0 * scatter(g))(g)));
        c2.push_back(std::round(std::poisson_distribution<int>(400.0 * scatter(g))(g)));
    }
    return make_workload(c1, c2, 77 + pairs);
}

workload equal_workload(unsigned pairs)
{
    return make_workload(std::vector<double>(pairs, 1.0), std::vector<double>(pairs, 1.0),
                         99 + pairs);
}

workload ties_workload(unsigned pairs)
{
    std::vector<double> c1, c2;
    for (unsigned i = 0; i < pairs; ++i) {
        c1.push_back(i % 2 ? 2.0 : 1.0);
        c2.push_back(i % 2 ? 4.0 : 2.0);
    }
    return make_workload(c1, c2, 55 + pairs);
}

struct expected_counts {
    uint64_t extreme;
    uint64_t sampled;
};

// Every call of a sampled member starts from this state: srandom for the
// reference, vp_srandom for production, so both walk the same sample.
void seed_draws(bool reference)
{
    if (reference)
        srandom(draw_seed);
    else
        vp_srandom(draw_seed);
}

// A workload and, once first needed, the reference's counts on it.
struct member_case {
    workload w;
    unsigned pairs;
    bool known = false;
    expected_counts want{};

    const expected_counts &expected()
    {
        if (!known) {
            seed_draws(true);
            want.extreme = reference_count_table[pairs - 2](w.list.data(), w.list.size(),
                                                            &want.sampled, w.observed);
            known = true;
        }
        return want;
    }
};

void run_member(benchmark::State &state, member_case *c, pvalue_isa isa)
{
    const count_fn fn = pvalue_isa_table(isa)[c->pairs - 2];
    const workload *w = &c->w;
    const bool draws = c->pairs > 4;
    uint64_t sampled = 0, extreme = 0, total = 0;
    for (auto _ : state) {
        if (draws)
            seed_draws(isa == pvalue_isa_reference);
        // DoNotOptimize on a const value: its read-write form on a variable
        // is miscompiled by some GCC releases (the variable is not written).
        const uint64_t e = fn(w->list.data(), w->list.size(), &sampled, w->observed);
        benchmark::DoNotOptimize(e);
        extreme = e;
        total += sampled;
    }
    const expected_counts &want = c->expected();
    if (extreme != want.extreme || sampled != want.sampled) {
        const std::string why = "counts differ from the reference: " + std::to_string(extreme) +
                                " of " + std::to_string(sampled) + " against " +
                                std::to_string(want.extreme) + " of " +
                                std::to_string(want.sampled);
        state.SkipWithError(why.c_str());
        return;
    }
    state.counters["comb/call"] = static_cast<double>(sampled);
    state.counters["t/comb"] =
        benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate |
                                                            benchmark::Counter::kInvert);
}

double thread_cpu_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The sampled walk alone, with the production generator: the draws, the
// positions of every level and the sampled count, but no sums and no
// comparisons.  What it costs is what no counting kernel can save.
struct walk_only_kernel {
    struct tally {};
    explicit walk_only_kernel(const kernel_setup &) {}
    void run(tally &, const double *, const double *, size_t, double, double) const {}
    void finish(const tally &, uint64_t &, uint64_t &) const {}
};

template <unsigned P>
uint64_t walk_only(const count_pair *list, uint64_t n, uint64_t *sampled, const observed_ratio &fc)
{
    process_generator generator;
    return sampled_count_for<P, walk_only_kernel>(list, n, sampled, plain_setup(fc), generator);
}

const count_fn walk_only_table[count_table_size] = {
    nullptr,        nullptr,        nullptr,         walk_only<5>, walk_only<6>, walk_only<7>,
    walk_only<8>,   walk_only<9>,   walk_only<10>,   walk_only<11>, walk_only<12>,
};

// A column of the summary: a member table, or the walk alone.
struct variant {
    std::string name;
    const count_fn *table;
    bool reference;
    bool walk;
};

// The generator's refill alone, per word, for each refill this CPU runs: the
// buffer is used up and refilled, as the walks' draws do every 1,024 words.
void run_refill(benchmark::State &state, vp_detail::random_refill r)
{
    const vp_detail::random_refill was = vp_detail::random_active_refill();
    vp_detail::random_force_refill(r);
    vp_srandom(draw_seed);
    for (auto _ : state) {
        vp_detail::g_random.pos = vp_detail::random_end;
        vp_detail::random_reserve(vp_detail::g_random, 1);
        benchmark::DoNotOptimize(vp_detail::g_random.words[vp_detail::random_end - 1]);
    }
    vp_detail::random_force_refill(was);
    state.counters["t/word"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * vp_detail::random_batch,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The Mann-Whitney P-value of two conditions of n whole-number counts each
// (many ties), U counted by the rule pair by pair or from ranks as the
// library counts it (tests/unit/test_pvalue.cpp checks that both give the
// same U).
double pval_by_pairs(const double *a, const double *b, size_t n)
{
    const double u = mann_whitney_u_by_pairs(a, b, n, n);
    const double all = static_cast<double>(n * n);
    const double umin = u < all - u ? u : all - u;
    const double z = (umin - all * 0.5) / std::sqrt((static_cast<double>(2 * n) + 1.0) * all / 12.0);
    return ((std::erf(z / 1.4142135623730951) + 1.0) * 0.5) * 2.0;
}

void run_mann_whitney(benchmark::State &state, size_t n, bool by_ranks)
{
    std::mt19937_64 g(n);
    std::vector<double> a(n), b(n);
    for (double &x : a)
        x = static_cast<double>(g() % 300);
    for (double &x : b)
        x = static_cast<double>(g() % 330);
    if (pval_by_pairs(a.data(), b.data(), n) != mann_whitney_pval(a.data(), b.data(), n, n)) {
        state.SkipWithError("the two U differ");
        return;
    }
    for (auto _ : state) {
        const double p = by_ranks ? mann_whitney_pval(a.data(), b.data(), n, n)
                                  : pval_by_pairs(a.data(), b.data(), n);
        benchmark::DoNotOptimize(p);
    }
}

// CPU time of `calls` calls of one variant on one case, each from the fixed
// generator state; checks the counts of the last call (the walk alone, only
// the sampled count).
double timed_calls(const member_case &c, const variant &v, unsigned calls, bool &ok)
{
    const count_fn fn = v.table[c.pairs - 2];
    const bool draws = c.pairs > 4;
    uint64_t sampled = 0, extreme = 0;
    const double t0 = thread_cpu_seconds();
    for (unsigned k = 0; k < calls; ++k) {
        if (draws)
            seed_draws(v.reference);
        extreme = fn(c.w.list.data(), c.w.list.size(), &sampled, c.w.observed);
        benchmark::DoNotOptimize(extreme);
    }
    const double t = thread_cpu_seconds() - t0;
    ok = sampled == c.want.sampled && (v.walk || extreme == c.want.extreme);
    return t / calls;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

struct paired_options {
    unsigned rounds = 7;
    double seconds = 1.0;
    bool only = false;
    std::string filter;  // --benchmark_filter, applied to member/list/variant
};

// The summary: paired rounds for every case the filter leaves, in order.
void paired_summary(std::vector<member_case> &cases, const std::vector<std::string> &kinds,
                    const std::vector<pvalue_isa> &isas, const paired_options &opt)
{
    std::FILE *out = stdout;
    std::fflush(out);
    std::fprintf(out,
                 "\nSummary: paired rounds (reference and every variant in turn, same list, "
                 "same generator state); median CPU time per call and per combination, and "
                 "median speed-up over the reference within a round [lowest, highest].  "
                 "\"walk\": the sampled walk alone, counting nothing\n");
    std::fprintf(out, "%-22s %-7s %-10s %7s %12s %10s %9s %17s\n", "member", "list", "variant",
                 "rounds", "us/call", "ns/comb", "speed-up", "[low, high]");
    const std::regex filter(opt.filter.empty() ? std::string(".") : opt.filter);
    for (size_t ci = 0; ci < cases.size(); ++ci) {
        member_case &c = cases[ci];
        const std::string &list = kinds[ci % kinds.size()];
        const std::string member = "count_extreme_fcs_" + std::to_string(c.pairs);
        const std::string group = member + "/" + list;
        std::vector<variant> run{{"reference", reference_count_table, true, false}};
        for (pvalue_isa isa : isas)
            if (isa != pvalue_isa_reference &&
                std::regex_search(group + "/" + pvalue_isa_name(isa), filter))
                run.push_back({pvalue_isa_name(isa), pvalue_isa_table(isa), false, false});
        if (c.pairs >= 5 && std::regex_search(group + "/walk", filter))
            run.push_back({"walk", walk_only_table, false, true});
        if (run.size() < 2)
            continue;
        c.expected();
        // Calls per timed sample: enough for 20 ms of the reference, so that
        // a member of microseconds is timed over many calls in a row, as the
        // Google Benchmark loop times it, not alone after the others.
        bool ok = true;
        const double probe = timed_calls(c, run[0], 1, ok);
        const unsigned calls = probe >= 20e-3 ? 1 : static_cast<unsigned>(20e-3 / probe) + 1;
        std::vector<std::vector<double>> secs(run.size());
        std::vector<std::vector<double>> ratio(run.size());
        std::vector<bool> good(run.size(), true);
        double ref_total = 0.0;
        for (unsigned round = 0; round < opt.rounds || ref_total < opt.seconds; ++round) {
            for (size_t v = 0; v < run.size(); ++v) {
                const double t = timed_calls(c, run[v], calls, ok);
                good[v] = good[v] && ok;
                secs[v].push_back(t);
                if (v == 0)
                    ref_total += t * calls;
                else
                    ratio[v].push_back(secs[0].back() / t);
            }
            if (round > 1000)
                break;
        }
        for (size_t v = 0; v < run.size(); ++v) {
            const double t = median(secs[v]);
            std::fprintf(out, "%-22s %-7s %-10s %7zu %12.2f %10.3f", member.c_str(), list.c_str(),
                         run[v].name.c_str(), secs[v].size(), t * 1e6,
                         t * 1e9 / static_cast<double>(c.want.sampled));
            if (!good[v])
                std::fprintf(out, "  COUNTS DIFFER FROM THE REFERENCE\n");
            else if (v == 0)
                std::fprintf(out, " %8.2fx\n", 1.0);
            else
                std::fprintf(out, " %8.2fx   [%5.2fx, %5.2fx]\n", median(ratio[v]),
                             *std::min_element(ratio[v].begin(), ratio[v].end()),
                             *std::max_element(ratio[v].begin(), ratio[v].end()));
        }
        std::fflush(out);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    paired_options opt;
    // Own flags first; the filter is shared with Google Benchmark.
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strncmp(a, "--paired_rounds=", 16) == 0)
            opt.rounds = static_cast<unsigned>(std::strtoul(a + 16, nullptr, 10));
        else if (std::strncmp(a, "--paired_seconds=", 17) == 0)
            opt.seconds = std::strtod(a + 17, nullptr);
        else if (std::strcmp(a, "--paired_only") == 0)
            opt.only = true;
        else {
            if (std::strncmp(a, "--benchmark_filter=", 19) == 0)
                opt.filter = a + 19;
            rest.push_back(argv[i]);
        }
    }
    int rest_argc = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    benchmark::Initialize(&rest_argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data()))
        return 1;

    std::vector<pvalue_isa> isas{pvalue_isa_reference, pvalue_isa_scalar};
    if (pvalue_best_isa() >= pvalue_isa_avx2)
        isas.push_back(pvalue_isa_avx2);
    if (pvalue_best_isa() >= pvalue_isa_avx512)
        isas.push_back(pvalue_isa_avx512);
    if (!vp_random_is_private())
        std::fprintf(stderr, "note: this build draws from the C library's random()\n");

    // The cases live for the whole run; the benchmarks hold pointers to them.
    static std::vector<member_case> cases;
    const std::vector<std::string> kinds{"counts", "ties", "equal"};
    cases.reserve(kinds.size() * count_table_size);
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        for (size_t kind = 0; kind < kinds.size(); ++kind) {
            cases.push_back({kind == 0   ? counts_workload(pairs)
                             : kind == 1 ? ties_workload(pairs)
                                         : equal_workload(pairs),
                             pairs});
            member_case *c = &cases.back();
            const std::string group =
                "count_extreme_fcs_" + std::to_string(pairs) + "/" + kinds[kind];
            for (pvalue_isa isa : isas) {
                const std::string name = group + "/" + pvalue_isa_name(isa);
                benchmark::RegisterBenchmark(name.c_str(), run_member, c, isa)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    if (vp_random_is_private()) {
        benchmark::RegisterBenchmark("random_refill/scalar", run_refill,
                                     vp_detail::random_refill::scalar);
        const vp_detail::random_refill was = vp_detail::random_active_refill();
        if (vp_detail::random_force_refill(vp_detail::random_refill::avx512))
            benchmark::RegisterBenchmark("random_refill/avx512", run_refill,
                                         vp_detail::random_refill::avx512);
        vp_detail::random_force_refill(was);
    }
    for (size_t n : {size_t{10}, size_t{100}, size_t{1000}}) {
        benchmark::RegisterBenchmark(("mann_whitney/" + std::to_string(n) + "/pairs").c_str(),
                                     run_mann_whitney, n, false);
        benchmark::RegisterBenchmark(("mann_whitney/" + std::to_string(n) + "/ranks").c_str(),
                                     run_mann_whitney, n, true);
    }
    if (!opt.only)
        benchmark::RunSpecifiedBenchmarks();
    paired_summary(cases, kinds, isas, opt);
    benchmark::Shutdown();
    return 0;
}
