#ifndef MIRDLE_TABLES_H
#define MIRDLE_TABLES_H

// The condition tables as mirdle reads them: the lock-step reader with
// mirdle's rule for an abundance (anything strtof takes whole), its words for
// every fault, a range of feature rows and the note on unequal conditions.
// Faults are handed back as their message and status, so that a caller that
// writes rows later can report them in order.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "lockstep.h"
#include "mirdle.h"
#include "report.h"
#include "vp_dsv.h"

struct table_reader {
    size_t n;
    lockstep tables;  // the streams and their paths, each table's state
    // Each condition's abundances of the current feature (inside the
    // reader's one row of values), their sums and standard deviations.
    double *rep_counts[MAX_CONDITIONS];
    size_t reps[MAX_CONDITIONS];
    double sums[MAX_CONDITIONS];
    double sds[MAX_CONDITIONS];
    // Set by the caller: once the first feature is read, say on standard
    // error which replicates a near-exact pair of unequal conditions leaves
    // out (pairs planned as near_exact plans them).
    bool note_sizes = false;
    bool near_exact = false;
    // The feature rows wanted, counted from 1: those before first_row are
    // read and checked but not handed out, and the tables end, for the
    // reader, after last_row.
    unsigned long long first_row = 1;
    unsigned long long last_row = ~0ULL;
    unsigned long long rows_read = 0;
};

struct read_fault {
    int status = 0;
    row_text message;  // exactly what goes to standard error
};

enum class read_result { row, end, fault };

// Reads every table's first row and leaves each stream at its first feature.
// Returns 0 or the status of the fault described in fault.
int set_up_tables(table_reader &r, FILE *const *streams, const char *const *paths, size_t n,
                  read_fault &fault);

// Reads the next wanted feature from every table.  A row: feature_id names it
// and every condition's rep_counts, sums and sds hold it.  The end: every
// table ended together, or the last wanted row was read.  A fault: fault
// holds its message and status.
read_result read_feature(table_reader &r, read_fault &fault);

// The current feature's id, and condition c's row of it.
inline const char *feature_id(const table_reader &r)
{
    return lockstep_id(r.tables);
}
inline const vp_dsv_line *condition_line(const table_reader &r, size_t c)
{
    return r.tables.tables[c].line;
}

// Everything the reader took; the streams stay the caller's.
void release_tables(table_reader &r);

#endif
