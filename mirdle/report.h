#ifndef MIRDLE_REPORT_H
#define MIRDLE_REPORT_H

// The report's formats, written either straight to the report stream or into
// a row's text, so that a row computed apart is the same bytes.

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "method.h"

// A growing text in memory (vp_malloc), for a row that is written later.
struct row_text {
    char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    bool failed = false;  // memory ran out: the text is incomplete

    void clear() { len = 0; }
    void release();
};

// Where formatted pieces go: the report stream (err keeps the errno of the
// first failed write) or a row_text.
struct stream_sink {
    FILE *stream;
    int err = 0;
    [[gnu::format(printf, 2, 3)]] void put(const char *format, ...);
};

struct text_sink {
    row_text *text;
    [[gnu::format(printf, 2, 3)]] void put(const char *format, ...);
    [[gnu::format(printf, 2, 0)]] void vput(const char *format, va_list args);
};

template <class Sink>
void put_header(Sink &out, int conditions)
{
    out.put("%-20s", "Feature");
    for (int c = 1; c <= conditions; ++c)
        out.put(" %6s%d", "MNC", c);
    for (int c = 1; c <= conditions; ++c)
        out.put(" %5s%d", "SD/C", c);
    for (int a = 1; a < conditions; ++a)
        for (int b = a + 1; b <= conditions; ++b)
            out.put("  FC %d-%d log2(FC) %5s", a, b, "P-val");
    out.put("\n");
}

// The id, then every condition's MNC, then every SD/C.
template <class Sink>
void put_row_head(Sink &out, const char *feature_id, const double *sums, const double *sds,
                  const size_t *reps, int conditions)
{
    out.put("%-20s", feature_id);
    for (int c = 0; c < conditions; ++c)
        out.put(" %7.1f", mean_of(sums[c], reps[c]));
    for (int c = 0; c < conditions; ++c)
        out.put(" %6.1f", sd_over_mean(sds[c], mean_of(sums[c], reps[c])));
}

// The fold change of a pair and its log2; "*" for two zero sums.
template <class Sink>
void put_fold_change(Sink &out, double sum_i, double sum_j)
{
    if (sum_i == 0.0 && sum_j == 0.0) {
        out.put(" %7s %7s", "*", "*");
        return;
    }
    const double fc = sum_j / sum_i;
    out.put(" %7.2f %7.2f", fc, std::log2(fc));
}

template <class Sink>
void put_pvalue(Sink &out, double p)
{
    out.put("  %7.5f", p);
}

// The line that ends the run at a near-exact pair beyond 12 replicates.
inline constexpr char near_exact_limit_message[] =
    "Current limit for near-exact P-values is 12 replicates.\n";

#endif
