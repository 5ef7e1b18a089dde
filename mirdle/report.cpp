#include "report.h"

#include <cstdlib>
#include <cstring>

#include "mirdle.h"
#include "pvalue.h"
#include "vp_alloc.h"

void row_text::release()
{
    vp_free(data);
    data = nullptr;
    len = cap = 0;
}

void stream_sink::put(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(stream, format, args);
    va_end(args);
    // Taken at once: the next number's conversion may set errno.
    if (written < 0 && err == 0)
        err = errno ? errno : EIO;
}

void text_sink::put(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vput(format, args);
    va_end(args);
}

void text_sink::vput(const char *format, va_list args)
{
    row_text &t = *text;
    if (t.failed)
        return;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int need = std::vsnprintf(t.data ? t.data + t.len : nullptr,
                                        t.data ? t.cap - t.len : 0, format, copy);
        va_end(copy);
        if (need < 0) {
            t.failed = true;
            return;
        }
        if (t.data && t.len + static_cast<size_t>(need) < t.cap) {
            t.len += static_cast<size_t>(need);
            return;
        }
        size_t cap = t.cap ? t.cap : 256;
        while (cap <= t.len + static_cast<size_t>(need))
            cap *= 2;
        char *grown = static_cast<char *>(vp_malloc(cap, 1));
        if (grown == nullptr) {
            t.failed = true;
            return;
        }
        if (t.len)
            std::memcpy(grown, t.data, t.len);
        vp_free(t.data);
        t.data = grown;
        t.cap = cap;
    }
}

int print_header(FILE *report, int conditions)
{
    stream_sink out{report};
    put_header(out, conditions);
    return out.err;
}

int print_feature(FILE *report, const char *feature_id, const double *sums, const double *sds,
                  int conditions, double *const *rep_counts, const size_t *reps, bool near_exact)
{
    stream_sink out{report};
    put_row_head(out, feature_id, sums, sds, reps, conditions);
    for (int i = 0; i < conditions - 1; ++i) {
        for (int j = i + 1; j < conditions; ++j) {
            put_fold_change(out, sums[i], sums[j]);
            const pair_plan plan = plan_pair(reps[i], reps[j], near_exact);
            double p = 1.0;
            switch (plan.method) {
            case pair_method::limit:
                std::fputs(near_exact_limit_message, stderr);
                std::exit(exit_usage);
            case pair_method::near_exact:
                p = near_exact_pval(rep_counts[i], rep_counts[j], plan.pairs);
                break;
            case pair_method::mann_whitney:
                p = mann_whitney_pval(rep_counts[i], rep_counts[j], reps[i], reps[j]);
                break;
            }
            put_pvalue(out, p);
        }
    }
    out.put("\n");
    return out.err;
}
