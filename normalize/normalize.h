#ifndef NORMALIZE_H
#define NORMALIZE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "exit_status.h"
#include "lockstep.h"
#include "vp_dsv.h"
#include "vp_limits.h"

// Largest number of condition tables in one run, as the comparison takes.
inline constexpr size_t MAX_TABLES = MAX_CONDITIONS;

struct table_in {
    const char *path;
    char *out_name;  // the name under the output directory
    FILE *stream;
};

// All tables of a run, read in lock step: one row of each per step.
struct tables_run {
    table_in *tables;
    size_t count;
    lockstep rows;
    // Of every value and the row count read this pass, so that a table that
    // changes between passes is noticed.
    uint64_t digest;
};

// Opens every table (again, for a later pass).  66 with a message on failure.
int open_tables(tables_run &r);

// Reads each table's first line (and starts a new digest): a header is kept
// in its line object, with its names.  Every pass holds each table to the
// column count of the first.  0 or a status after its message.
int start_tables(tables_run &r);

// Takes the next row of every table into r.rows.values: *row is false when
// all tables ended together.  Checks ids, field counts and values (finite and
// not negative).  0 or a status after its message.
int read_rows(tables_run &r, bool *row);

void close_tables(tables_run &r);

#endif
