#ifndef REPORT_READER_H
#define REPORT_READER_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The fixed-width report of mirdle, read back: a header row giving the number
// of conditions n, then per feature the id, n means, n SD/C values and, for
// every pair of conditions a < b in the order 1-2, 1-3, ..., (n-1)-n, the fold
// change, its log2 and a P-value.

struct report {
    int conditions = 0;
    size_t pairs = 0;    // n(n-1)/2
    size_t columns = 0;  // values per row: 2n + 3 pairs
    size_t rows = 0;
    std::vector<std::string> ids;
    // rows * columns, row by row: each value's text as printed, and its number
    // (NaN for "*" and for nan).
    std::vector<std::string> texts;
    std::vector<double> values;
};

inline size_t mean_column(int c) { return static_cast<size_t>(c); }
inline size_t sdc_column(int n, int c) { return static_cast<size_t>(n + c); }
inline size_t fc_column(int n, size_t pair) { return static_cast<size_t>(2 * n) + 3 * pair; }
inline size_t log2fc_column(int n, size_t pair) { return fc_column(n, pair) + 1; }
inline size_t pvalue_column(int n, size_t pair) { return fc_column(n, pair) + 2; }

// Pair index of conditions a < b (from 0) among n, in report order.
size_t pair_index(int n, int a, int b);
// The conditions (from 0) of a pair index.
void pair_members(int n, size_t pair, int *a, int *b);

// The number of conditions (2 to MAX_CONDITIONS) of a report's header row, given without
// its newline; 0 when the line is not exactly such a header.
int parse_report_header(std::string_view line);

// Splits one report row (without newline) of n conditions: the 2n + 3 pairs
// values are taken as blank-separated tokens from the right end, so an id may
// hold blanks and be longer than its 20 columns.  The id loses only the
// padding the report added (so an id of up to 20 characters cannot keep
// trailing blanks).  Returns nullptr, or a description of why the line is not
// such a row; tokens must hold room for 2n + 3 pairs views.
const char *split_report_row(std::string_view line, int conditions, std::string_view *id,
                             std::string_view *tokens);

// Reads a whole report.  Lines may end in CR LF.  Every value is checked: a
// number (inf and nan included), "*" in both fold change columns of a pair or
// in neither, a P-value from 0 to 1 or nan.  On a fault writes one message
// "<program>: <path>:<line>: ..." and returns 65 (74 on a read error, 69 out of
// memory); 0 on success.
int read_report(FILE *stream, const char *path, const char *program, report *out);

// Opens the report at path ("-": standard input, plain or compressed) and
// reads it with read_report, speaking as the program (cli_name); 66 after
// "<name>: cannot open P: <reason>".
int read_report_file(const char *path, report *out);

#endif
