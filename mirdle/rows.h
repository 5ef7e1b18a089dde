#ifndef MIRDLE_ROWS_H
#define MIRDLE_ROWS_H

// The report rows of a run, computed apart from the reading and written in
// input order.
//
// A row is planned when it is read: every pair of conditions gets its method
// and the two arrays as it would see them, zeros replaced by the near-exact
// pairs of the row before it, exactly as computing the pairs one after the
// other on the shared arrays leaves them (a pair that no later pair of the
// row reads works on the row's arrays themselves, as every pair of a
// two-condition run does).  So the pairs, of one row and of many, can be
// computed in any order and on any thread and give the same numbers, with
// one exception: a sampled near-exact pair that draws from the run's one
// sequence depends on every such pair before it, and these pairs run one at
// a time, in input order, the others around them.  What the P-value library would write on standard error, and
// the faults that end a run in the middle of a row, are kept with their row
// and written when it is, so the report, standard error and the status are
// those of computing one row after the other.

#include <cstdio>

#include "tables.h"

// Reads the features after the header from r and writes one report row for
// each, with the progress marks, computing the P-values on `threads` threads
// (1: everything on the calling thread).  Returns 0 once every table has
// ended together, or the status of the first fault in row order, after its
// message.  Not for the library's trace, which belongs inside the rows.
// Sampled pairs draw as `draws` says; with draws of their own they run on
// every thread like the others.
int write_rows(table_reader &r, FILE *report, bool near_exact, unsigned threads,
               draw_source draws);

// Writes what a fault holds to standard error and returns its status.
int report_fault(const read_fault &fault);

// For a report whose error indicator is set though none of mirdle's writes
// failed: a trace line of the P-value library, written to the same standard
// output, did.  The error stays (a full disk, a closed descriptor), so
// flushing gives its reason afresh; EIO when it gives none.
int flush_error(FILE *report);

// Writes the progress mark due after features_done rows, if any.
void progress_mark(unsigned long features_done, bool terminal);

#endif
