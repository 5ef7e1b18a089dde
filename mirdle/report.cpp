#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "mirdle.h"
#include "pvalue.h"

namespace {

// The errno of the first failed write of a row.  It is taken at once: the
// fold change's log2 and the next number's conversion may set errno before
// the row is done.
struct row_writer {
    FILE *report;
    int err = 0;

    void check(int written)
    {
        if (written < 0 && err == 0)
            err = errno ? errno : EIO;
    }
};

}  // namespace

int print_header(FILE *report, int conditions)
{
    row_writer w{report};
    w.check(std::fprintf(report, "%-20s", "Feature"));
    for (int c = 1; c <= conditions; ++c)
        w.check(std::fprintf(report, " %6s%d", "MNC", c));
    for (int c = 1; c <= conditions; ++c)
        w.check(std::fprintf(report, " %5s%d", "SD/C", c));
    for (int a = 1; a < conditions; ++a)
        for (int b = a + 1; b <= conditions; ++b)
            w.check(std::fprintf(report, "  FC %d-%d log2(FC) %5s", a, b, "P-val"));
    w.check(std::fputc('\n', report));
    return w.err;
}

namespace {

double pair_pvalue(double *counts_i, double *counts_j, size_t reps_i, size_t reps_j,
                   bool near_exact)
{
    // The near-exact method reads as many entries of both arrays as the first
    // condition has replicates; never read past the second condition's.
    size_t pairs = reps_i <= near_exact_max_pairs && reps_j < reps_i ? reps_j : reps_i;
    if (near_exact) {
        if (reps_i > near_exact_max_pairs) {
            std::fputs("Current limit for near-exact P-values is 12 replicates.\n", stderr);
            std::exit(exit_usage);
        }
        return near_exact_pval(counts_i, counts_j, pairs);
    }
    if (reps_i < mann_whitney_min_reps || reps_j < mann_whitney_min_reps)
        return near_exact_pval(counts_i, counts_j, pairs);
    return mann_whitney_pval(counts_i, counts_j, reps_i, reps_j);
}

}  // namespace

int print_feature(FILE *report, const char *feature_id, const double *sums, const double *sds,
                  int conditions, double *const *rep_counts, const size_t *reps, bool near_exact)
{
    row_writer w{report};
    w.check(std::fprintf(report, "%-20s", feature_id));
    for (int c = 0; c < conditions; ++c)
        w.check(std::fprintf(report, " %7.1f", sums[c] / static_cast<double>(reps[c])));
    for (int c = 0; c < conditions; ++c) {
        double mnc = sums[c] / static_cast<double>(reps[c]);
        w.check(std::fprintf(report, " %6.1f", mnc == 0.0 ? 0.0 : sds[c] / mnc));
    }
    for (int i = 0; i < conditions - 1; ++i) {
        for (int j = i + 1; j < conditions; ++j) {
            if (sums[i] == 0.0 && sums[j] == 0.0) {
                w.check(std::fprintf(report, " %7s %7s", "*", "*"));
            } else {
                double fc = sums[j] / sums[i];
                w.check(std::fprintf(report, " %7.2f %7.2f", fc, std::log2(fc)));
            }
            double p = pair_pvalue(rep_counts[i], rep_counts[j], reps[i], reps[j], near_exact);
            w.check(std::fprintf(report, "  %7.5f", p));
        }
    }
    w.check(std::fputc('\n', report));
    return w.err;
}
