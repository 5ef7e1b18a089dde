// pvalue-sim: feeds drawn or given replicate counts to the P-value library and
// prints both P-values after the library's full trace.  The program's body;
// main.cpp holds the entry and the trace switch.

#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "broken_pipe.h"
#include "exit_status.h"
#include "pvalue.h"
#include "sim.h"
#include "suite_version.h"
#include "vp_alloc.h"
#include "vp_random.h"

namespace {

void print_usage(FILE *to, const char *prog)
{
    std::fprintf(to,
                 "Usage:   %s [--draws=run|feature] count1-mean count2-mean max-deviation "
                 "replicates iterations\n"
                 "         %s [--draws=run|feature] --fixed c1-count c1-count ... c2-count "
                 "c2-count...\n"
                 "         %s --help | --version\n"
                 "Example: %s 100 200 .2 3 5\n"
                 "Example: %s --fixed 10 12 9 101 140 123\n",
                 prog, prog, prog, prog, prog);
}

[[noreturn]] void usage(const char *prog)
{
    print_usage(stderr, prog);
    std::exit(exit_usage);
}

// Everything goes to standard output; a failed write is reported with the
// reason of the write that failed, or ends quietly if the reader went away.
int output_status()
{
    errno = 0;
    int err = 0;
    if (std::fflush(stdout) != 0)
        err = errno ? errno : EIO;
    else if (std::ferror(stdout))
        err = EIO;
    if (err == 0)
        return exit_ok;
    end_if_broken_pipe(err);
    std::fprintf(stderr, "pvalue-sim: Could not write the output: %s.\n", std::strerror(err));
    return exit_io;
}

// The first argument is --fixed, --help, --version or the first number: a
// negative number such as -5 is a number, anything else beginning with "-"
// is a misspelt option.
bool is_number(const char *arg)
{
    char *end;
    std::strtod(arg, &end);
    return end != arg;
}

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
draw_source draws = draw_source::run;

int result_step(double *counts1, double *counts2, size_t n)
{
    double exact = near_exact_pval(counts1, counts2, n, draws);
    double mw = mann_whitney_pval(counts1, counts2, n, n);
    std::printf("Exact P-value = %0.3f  Mann-Whitney = %0.3f\n", exact, mw);
    vp_free(counts1);
    vp_free(counts2);
    return output_status();
}

int random_mode(const char *prog, char **args)
{
    int mean1 = std::atoi(args[0]);
    int mean2 = std::atoi(args[1]);
    double max_deviation = std::atof(args[2]);
    int replicates = std::atoi(args[3]);
    int iterations = std::atoi(args[4]);
    draw_range r1, r2;
    if (!(max_deviation > 0.0) || replicates < 0 || iterations < 1 ||
        !make_range(mean1, max_deviation, r1) || !make_range(mean2, max_deviation, r2))
        usage(prog);

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

int fixed_mode(char **values, size_t count)
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
    const char *prog = argv[0] ? argv[0] : "pvalue-sim";
    if (argc < 2)
        usage(prog);
    // --draws, as "--draws=MODE" or "--draws MODE", comes before the mode's
    // arguments.
    if (std::strncmp(argv[1], "--draws", 7) == 0 && (argv[1][7] == '\0' || argv[1][7] == '=')) {
        const bool joined = argv[1][7] == '=';
        if (!joined && argc < 3)
            usage(prog);
        const char *mode = joined ? argv[1] + 8 : argv[2];
        if (std::strcmp(mode, "run") == 0) {
            draws = draw_source::run;
        } else if (std::strcmp(mode, "feature") == 0) {
            draws = draw_source::feature;
        } else {
            std::fprintf(stderr, "pvalue-sim: --draws takes run or feature, not %s.\n", mode);
            usage(prog);
        }
        const int taken = joined ? 1 : 2;
        argv += taken;
        argc -= taken;
        argv[0] = const_cast<char *>(prog);
        if (argc < 2)
            usage(prog);
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        print_usage(stdout, prog);
        return output_status();
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", prog, SUITE_VERSION);
        return output_status();
    }
    if (argv[1][0] == '-' && std::strcmp(argv[1], "--fixed") != 0 && !is_number(argv[1])) {
        std::fprintf(stderr, "pvalue-sim: Unknown option %s.\n", argv[1]);
        usage(prog);
    }
    if (std::strcmp(argv[1], "--fixed") == 0) {
        size_t count = static_cast<size_t>(argc - 2);
        if (count % 2 != 0)
            usage(prog);
        return fixed_mode(argv + 2, count);
    }
    if (argc != 6)
        usage(prog);
    return random_mode(prog, argv + 1);
}
