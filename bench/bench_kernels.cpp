// The counting members 2 to 12: every production instruction set this CPU
// runs against the plain reference members, on the same pair lists and from
// the same generator state.  Each run checks its counts against the
// reference's, so a fast but wrong member shows up as an error, not a figure.
//
// After the usual Google Benchmark table, a summary gives per member and list
// the time per call and per combination of each variant and its speed-up over
// the reference.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "count_reference.h"
#include "kernels.h"
#include "pvalue.h"
#include "vp_random.h"

bool Debug = false;

namespace {

// The seed every call starts from: srandom for the reference, vp_srandom for
// production, so both walk the same sample.
constexpr unsigned draw_seed = 20240611;

struct workload {
    std::vector<count_pair> list;
    double observed_fc;
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
    w.observed_fc = s2 / s1;
    if (w.observed_fc < 1.0)
        w.observed_fc = 1.0 / w.observed_fc;
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

// A workload and, once first needed, the reference's counts on it.
struct member_case {
    workload w;
    unsigned pairs;
    bool known = false;
    expected_counts want{};

    const expected_counts &expected()
    {
        if (!known) {
            srandom(draw_seed);
            want.extreme = reference_count_table[pairs - 2](w.list.data(), w.list.size(),
                                                            &want.sampled, w.observed_fc);
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
        if (draws) {
            if (isa == pvalue_isa_reference)
                srandom(draw_seed);
            else
                vp_srandom(draw_seed);
        }
        // DoNotOptimize on a const value: its read-write form on a variable
        // is miscompiled by some GCC releases (the variable is not written).
        const uint64_t e = fn(w->list.data(), w->list.size(), &sampled, w->observed_fc);
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

// Collects what the console reporter prints, for the summary.
class summary_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration)
                continue;
            // CPU time per iteration, in seconds: on a shared machine it is
            // the steadier of the two, and the members are single-threaded.
            double secs = r.cpu_accumulated_time / static_cast<double>(r.iterations);
            auto it = r.counters.find("comb/call");
            double combs = it == r.counters.end() ? 0.0 : it->second.value;
            results_[r.run_name.function_name] = {secs, combs};
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::FILE *out = stdout;
        std::fflush(out);
        std::fprintf(out, "\nSummary: CPU time per call and per combination, and speed-up over "
                          "the reference (same list, same generator state)\n");
        std::fprintf(out, "%-22s %-7s %-10s %12s %10s %9s\n", "member", "list", "variant",
                     "us/call", "ns/comb", "speed-up");
        for (const auto &[group, names] : order_)
            print_group(out, group, names);
    }

    void expect(const std::string &group, const std::vector<std::string> &names)
    {
        order_.emplace_back(group, names);
    }

private:
    struct figure {
        double secs;
        double combs;
    };

    void print_group(std::FILE *out, const std::string &group,
                     const std::vector<std::string> &names)
    {
        const auto ref = results_.find(group + "/reference");
        const std::string member = group.substr(0, group.find('/'));
        const std::string list = group.substr(group.find('/') + 1);
        for (const std::string &name : names) {
            const auto it = results_.find(name);
            if (it == results_.end())
                continue;
            const std::string variant = name.substr(name.rfind('/') + 1);
            const figure &f = it->second;
            const double ns_comb = f.combs > 0 ? f.secs * 1e9 / f.combs : 0.0;
            std::fprintf(out, "%-22s %-7s %-10s %12.2f %10.3f", member.c_str(), list.c_str(),
                         variant.c_str(), f.secs * 1e6, ns_comb);
            if (ref != results_.end() && f.secs > 0)
                std::fprintf(out, " %8.2fx\n", ref->second.secs / f.secs);
            else
                std::fprintf(out, " %9s\n", "-");
        }
    }

    std::map<std::string, figure> results_;
    std::vector<std::pair<std::string, std::vector<std::string>>> order_;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    std::vector<pvalue_isa> isas{pvalue_isa_reference, pvalue_isa_scalar};
    if (pvalue_best_isa() >= pvalue_isa_avx2)
        isas.push_back(pvalue_isa_avx2);
    if (pvalue_best_isa() >= pvalue_isa_avx512)
        isas.push_back(pvalue_isa_avx512);
    if (!vp_random_is_private())
        std::fprintf(stderr, "note: this build draws from the C library's random()\n");

    summary_reporter reporter;
    // The cases live for the whole run; the benchmarks hold pointers to them.
    static std::vector<member_case> cases;
    const char *const kinds[] = {"counts", "ties", "equal"};
    cases.reserve(3 * count_table_size);
    for (unsigned pairs = 2; pairs <= 12; ++pairs) {
        for (int kind = 0; kind < 3; ++kind) {
            cases.push_back({kind == 0   ? counts_workload(pairs)
                             : kind == 1 ? ties_workload(pairs)
                                         : equal_workload(pairs),
                             pairs});
            member_case *c = &cases.back();
            const std::string group =
                "count_extreme_fcs_" + std::to_string(pairs) + "/" + kinds[kind];
            std::vector<std::string> names;
            for (pvalue_isa isa : isas) {
                std::string name = group + "/" + pvalue_isa_name(isa);
                names.push_back(name);
                benchmark::RegisterBenchmark(name.c_str(), run_member, c, isa)
                    ->Unit(benchmark::kMicrosecond);
            }
            reporter.expect(group, names);
        }
    }
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
