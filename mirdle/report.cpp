#include "report.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "method.h"
#include "mirdle.h"
#include "pvalue.h"
#include "vp_alloc.h"

int print_header(FILE *report, int conditions)
{
    stream_sink out{report};
    put_header(out, conditions);
    return out.err;
}

int print_feature(FILE *report, const char *feature_id, const double *sums, const double *sds,
                  int conditions, double *const *rep_counts, const size_t *reps, bool near_exact,
                  draw_source draws)
{
    stream_sink out{report};
    put_row_head(out, feature_id, sums, sds, reps, conditions);
    size_t nan_at[MAX_CONDITIONS];
    for (int c = 0; c < conditions; ++c)
        nan_at[c] = first_nan(rep_counts[c], reps[c]);
    for (int i = 0; i < conditions - 1; ++i) {
        for (int j = i + 1; j < conditions; ++j) {
            put_fold_change(out, sums[i], sums[j]);
            const pair_plan plan = plan_pair(reps[i], reps[j], near_exact);
            const bool reads_nan =
                pair_reads_nan(plan, nan_at[i], nan_at[j], reps[i], reps[j]) ||
                pair_reads_nan(plan, first_nan(rep_counts[i], reps[i]),
                               first_nan(rep_counts[j], reps[j]), reps[i], reps[j]);
            double p = 1.0;
            switch (plan.method) {
            case pair_method::limit:
                std::fputs(near_exact_limit_message, stderr);
                std::exit(exit_usage);
            case pair_method::near_exact:
                p = near_exact_pval(rep_counts[i], rep_counts[j], plan.pairs, draws);
                break;
            case pair_method::mann_whitney:
                p = mann_whitney_pval(rep_counts[i], rep_counts[j], reps[i], reps[j]);
                break;
            }
            put_pvalue(out, reads_nan ? NAN : p);
        }
    }
    out.put("\n");
    return out.err;
}
