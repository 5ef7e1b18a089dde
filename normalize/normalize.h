#ifndef NORMALIZE_H
#define NORMALIZE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "exit_status.h"
#include "vp_dsv.h"
#include "vp_limits.h"

// Largest number of condition tables in one run, as the comparison takes.
inline constexpr size_t MAX_TABLES = MAX_CONDITIONS;

struct table_in {
    const char *path;
    char *out_name;  // the name under the output directory
    FILE *stream;
    vp_dsv_line *line;
    uint64_t line_no;  // line number of what `line` holds
    bool pending;      // `line` holds the first data row, not taken yet
    bool header;       // the first line is a target_id header
    size_t columns;    // abundances per row, fixed by the first pass
    uint64_t first_data_line;
    size_t offset;     // first of its columns among all tables' columns
    uint64_t rows;     // data rows taken this pass
    char **names;      // column names from the header, null where none
    size_t name_count;
};

// All tables of a run, read in lock step: one row of each per step.
struct tables_run {
    table_in *tables;
    size_t count;
    size_t columns;  // of all tables together
    double *values;  // the current row of every table, table after table
    bool columns_known;
    // Of every value and row count read this pass, so that a table that
    // changes between passes is noticed.
    uint64_t digest;
};

// Opens every table (again, for a later pass).  66 with a message on failure.
int open_tables(tables_run &r);

// Reads each table's first line (and starts a new digest): a header is kept in its line object (its
// names are copied in the first pass), a data row is left pending.  0 or a
// status after its message.
int start_tables(tables_run &r);

// Takes the next row of every table into r.values: *row is false when all
// tables ended together.  Checks ids, field counts and values.  0 or a status
// after its message.
int read_rows(tables_run &r, bool *row);

// The id of the current row.
const char *row_id(const tables_run &r);

void close_tables(tables_run &r);

#endif
