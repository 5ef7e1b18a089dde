#ifndef MIRDLE_H
#define MIRDLE_H

#include <cstddef>
#include <cstdio>

#include "exit_status.h"
#include "pvalue.h"
#include "vp_dsv.h"
#include "vp_limits.h"

// Writes the report's header row for `conditions` conditions.  Returns 0, or
// the errno of the first write that failed.
int print_header(FILE *report, int conditions);

// What a run reports beyond the tables and the method: where sampled pairs
// draw from, and which feature rows (counted from 1, both ends included) it
// writes.  The header row belongs to the range that starts at row 1, so that
// the reports of consecutive ranges joined are the report of the whole.
struct run_scope {
    draw_source draws = draw_source::run;
    unsigned long long first_row = 1;
    unsigned long long last_row = ~0ULL;
};

// Writes one report row: MNC and SD/C per condition, then fold change, its
// log2 and a P-value for every pair of conditions.  Zero entries of the
// rep_counts arrays may be replaced in place by the P-value library.  Ends the
// process with status 64 when near_exact is set and a pair's first condition
// has more than 12 replicates.  Returns 0, or the errno of the first write of
// the row that failed.
int print_feature(FILE *report, const char *feature_id, const double *sums, const double *sds,
                  int conditions, double *const *rep_counts, const size_t *reps, bool near_exact,
                  draw_source draws = draw_source::run);

// Parses the abundance fields of a row (every field after the id) into
// rep_counts, each converted in single precision and widened to double.
// Stores their sum and standard deviation (divisor: the field count).  An
// invalid field writes a message and returns false.
bool parse_rep_counts(const vp_dsv_line *line, double *rep_counts, double *sum, double *sd);

// Reads the condition tables in lock step and writes the report.  paths name
// the tables in messages.  The P-values are computed on `threads` threads;
// the report, standard error and the status are the same for any number.
// Returns the exit status; closes every stream (report included) on success.
// A report whose reader went away ends the process quietly
// (report_write_error).
int compare_abundances(FILE *const *abundance_streams, const char *const *paths, int conditions,
                       FILE *report, bool near_exact, unsigned threads = 1,
                       const run_scope &scope = {});

// The end of a run whose report could not be written, err being the errno of
// the failed write, flush or close.  A reader that went away (EPIPE) ends the
// process at once, quietly, with status 141 (end_if_broken_pipe); any other
// error writes "mirdle: Could not write the report: <reason>." and returns 74.
int report_write_error(int err);

#endif
