#ifndef STUDY_H
#define STUDY_H

// The numbers an analysis shows per feature beside mirdle's report: each
// condition's mean and SD/C at full precision, the fold change of the means
// for every pair, and the pair's P-values adjusted over its informative
// features.  table and plot both show these, so that they agree.

#include <cstddef>
#include <string>
#include <vector>

#include "report_reader.h"

struct study_options {
    // The condition tables given to mirdle, in its order; empty: only the
    // report is known, and its rounded text is all there is.
    std::vector<std::string> tables;
    // A feature takes part in a pair's adjustment only when the sum of its
    // abundances over the pair's samples is at least this (needs tables).
    double min_count = 0.0;
};

struct study {
    int conditions = 0;
    size_t rows = 0, pairs = 0;
    std::vector<size_t> reps;  // per condition; 0 each without tables
    // rows * conditions, row by row.
    std::vector<double> mean, sd_over_mean;
    // rows * pairs, row by row, pairs in report order (a < b): mean_b / mean_a
    // and its log2; NaN when both means are 0 or either is NaN.
    std::vector<double> fc, log2fc;
    // rows * pairs: the report's P-value (NaN for nan) and its adjustment
    // (NaN for a feature left out of it).
    std::vector<double> pvalue, padj;
    // rows * pairs: 1 when the feature is 0 in every sample of both
    // conditions (from the tables) or its fold change is "*" (report only).
    std::vector<unsigned char> all_zero;
    std::vector<size_t> in_adjustment;  // per pair: features its adjustment counts
};

inline size_t study_at(const study &s, size_t row, size_t pair) { return row * s.pairs + pair; }

// Fills s from the report and, when options.tables names them, from the
// tables themselves: rows and fields checked as mirdle checks them, values
// taken in double precision (mirdle's P-values use them rounded to single
// precision), sums in column order, the standard deviation divided by the
// replicate count as in the report's SD/C.  The tables must hold exactly
// the report's features in its order.  A feature enters a pair's
// Benjamini-Hochberg adjustment when its P-value is a number, it is not zero
// in every sample of the pair, and it passes min_count.  Returns 0, or the
// exit status after one message "<program>: ..." (66 a table cannot be
// opened, 65 it disagrees with the report or holds an invalid value, 74 a
// read error, 64 min_count without tables).
int load_study(const char *program, const report &r, const study_options &options, study *s);

// The fewest significant digits that read back as v, without an exponent
// from 1e-5 up to 1e17 ("20", "0.011", "1e-07"); "NA", "Inf", "-Inf" for the
// non-finite.
std::string shortest_number(double v);

// The same text, found by trying every digit count from one: the plain
// search that shortest_number shortens, kept as its reference.
std::string shortest_number_plain(double v);

#endif
