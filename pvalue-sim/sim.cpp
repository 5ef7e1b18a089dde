// pvalue-sim: feeds drawn or given replicate counts to the P-value library and
// prints both P-values after the library's full trace.  The program's body;
// main.cpp holds the entry and the trace switch.

#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "broken_pipe.h"
#include "cli.h"
#include "exit_status.h"
#include "pvalue.h"
#include "sim.h"
#include "vp_alloc.h"
#include "vp_random.h"

namespace {

// The usage text of a command line of the wrong shape.
int usage(const char *prog)
{
    std::fprintf(stderr,
                 "Usage:   %s count1-mean count2-mean max-deviation replicates iterations\n"
                 "         %s --fixed c1-count c1-count ... c2-count c2-count...\n"
                 "Example: %s 100 200 .2 3 5\n"
                 "Example: %s --fixed 10 12 9 101 140 123\n",
                 prog, prog, prog, prog);
    return exit_usage;
}

draw_source draws = draw_source::run;
int draw_choice = 0;
bool fixed = false;
const char *const draw_names[] = {"run", "feature", nullptr};

const cli_option option_table[] = {
    {"--fixed", 0, cli_kind::flag, &fixed, nullptr,
     "take the counts from the command line, the first half for\n"
     "condition 1"},
    {"--draws", 0, cli_kind::choice, &draw_choice, "D",
     "run: sampled P-values from the run's random sequence\n"
     "(default); feature: from a stream seeded by the counts",
     0, 0, draw_names},
};

const cli_command command = {
    "[--draws D] count1-mean count2-mean max-deviation replicates iterations\n"
    "       pvalue-sim [--draws D] --fixed c1-count ... c2-count ...",
    "Feeds drawn or given replicate counts to the P-value library and prints the\n"
    "library's trace, then the near-exact and the Mann-Whitney P-value.\n",
    option_table,
    std::size(option_table),
    "Example: pvalue-sim 100 200 .2 3 5\n"
    "Example: pvalue-sim --fixed 10 12 9 101 140 123\n",
    true,
    true,
};

double *new_counts(size_t n)
{
    double *counts = static_cast<double *>(vp_malloc(n, sizeof(double)));
    if (counts == nullptr) {
        std::fprintf(stderr, "pvalue-sim: Could not allocate counts for %zu replicates.\n", n);
        std::exit(exit_no_memory);
    }
    return counts;
}

// Half-width and range of one condition's draws.  The range must hold at least
// one value and fit the unsigned arithmetic of the draw.
struct draw_range {
    uint64_t mean;
    double half_width;
    uint64_t range;
};

bool make_range(int mean, double max_deviation, draw_range &out)
{
    if (mean < 0)
        return false;
    out.mean = static_cast<uint64_t>(mean);
    out.half_width = max_deviation * static_cast<double>(mean);
    double range = 2.0 * out.half_width;
    if (!(range >= 1.0 && range < 18446744073709551616.0))
        return false;
    out.range = static_cast<uint64_t>(range);
    return true;
}

double draw_count(const draw_range &r)
{
    uint64_t x = static_cast<uint64_t>(vp_random());
    return static_cast<double>(x % r.range + r.mean) - r.half_width;
}

// The last step of either mode; the count arrays, which live as long as the
// run, are released after it.

int result_step(double *counts1, double *counts2, size_t n)
{
    double exact = near_exact_pval(counts1, counts2, n, draws);
    double mw = mann_whitney_pval(counts1, counts2, n, n);
    std::printf("Exact P-value = %0.3f  Mann-Whitney = %0.3f\n", exact, mw);
    vp_free(counts1);
    vp_free(counts2);
    return cli_finish_stdout();
}

int random_mode(const char *prog, const char *const *args)
{
    int mean1 = std::atoi(args[0]);
    int mean2 = std::atoi(args[1]);
    double max_deviation = std::atof(args[2]);
    int replicates = std::atoi(args[3]);
    int iterations = std::atoi(args[4]);
    draw_range r1, r2;
    if (!(max_deviation > 0.0) || replicates < 0 || iterations < 1 ||
        !make_range(mean1, max_deviation, r1) || !make_range(mean2, max_deviation, r2))
        return usage(prog);

    size_t n = static_cast<size_t>(replicates);
    double *counts1 = new_counts(n);
    double *counts2 = new_counts(n);
    std::printf("\ncount1 = %lu +/- to up to %0.0f%%, count2 = %lu +/- up to %0.0f%%\n", r1.mean,
                max_deviation * 100.0, r2.mean, max_deviation * 100.0);
    for (int it = 0; it < iterations; ++it) {
        timeval tv;
        gettimeofday(&tv, nullptr);
        vp_srandom(static_cast<unsigned int>(tv.tv_usec));
        std::puts("Cond1 Cond2 FC      1/FC");
        for (size_t i = 0; i < n; ++i) {
            counts1[i] = draw_count(r1);
            counts2[i] = draw_count(r2);
            std::printf("%5.0f %5.0f\n", counts1[i], counts2[i]);
        }
    }
    return result_step(counts1, counts2, n);
}

int fixed_mode(const char *const *values, size_t count)
{
    size_t n = count / 2;
    double *counts1 = new_counts(n);
    double *counts2 = new_counts(n);
    for (size_t i = 0; i < n; ++i) {
        counts1[i] = std::atoi(values[i]);
        std::printf("%f\n", counts1[i]);
    }
    for (size_t i = 0; i < n; ++i) {
        counts2[i] = std::atoi(values[n + i]);
        std::printf("%f\n", counts2[i]);
    }
    adjust_zero_counts(counts1, counts2, n);
    return result_step(counts1, counts2, n);
}

}  // namespace

int pvalue_sim_main(int argc, char **argv)
{
    take_default_sigpipe();
    cli_begin("pvalue-sim", argc > 0 ? argv[0] : nullptr);
    const char *prog = argc > 0 && argv[0] ? argv[0] : "pvalue-sim";
    // The body may run many times in one process (the fuzz target).
    fixed = false;
    draw_choice = 0;
    if (argc < 2)
        return usage(prog);
    std::vector<const char *> args;
    if (int status = cli_parse(command, argc, argv, &args); status >= 0)
        return status;
    draws = draw_choice == 0 ? draw_source::run : draw_source::feature;
    if (fixed)
        return args.size() % 2 != 0 ? usage(prog) : fixed_mode(args.data(), args.size());
    if (args.size() != 5)
        return usage(prog);
    return random_mode(prog, args.data());
}
