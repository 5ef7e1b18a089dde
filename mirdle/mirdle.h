#ifndef MIRDLE_H
#define MIRDLE_H

#include <cstddef>
#include <cstdio>

#include "exit_status.h"
#include "vp_dsv.h"

// Largest number of condition tables in one run.
inline constexpr int MAX_CONDITIONS = 128;


// Writes the report's header row for `conditions` conditions.
void print_header(FILE *report, int conditions);

// Writes one report row: MNC and SD/C per condition, then fold change, its
// log2 and a P-value for every pair of conditions.  Zero entries of the
// rep_counts arrays may be replaced in place by the P-value library.  Ends the
// process with status 64 when near_exact is set and a pair's first condition
// has more than 12 replicates.
void print_feature(FILE *report, const char *feature_id, const double *sums, const double *sds,
                   int conditions, double *const *rep_counts, const size_t *reps,
                   bool near_exact);

// Parses the abundance fields of a row (every field after the id) into
// rep_counts, each converted in single precision and widened to double.
// Stores their sum and standard deviation (divisor: the field count).  An
// invalid field writes a message and returns false.
bool parse_rep_counts(const vp_dsv_line *line, double *rep_counts, double *sum, double *sd);

// Reads the condition tables in lock step and writes the report.  paths name
// the tables in messages.  Returns the exit status; closes every stream
// (report included) on success.
int compare_abundances(FILE *const *abundance_streams, const char *const *paths, int conditions,
                       FILE *report, bool near_exact);

#endif
