#ifndef LOCKSTEP_H
#define LOCKSTEP_H

// Condition tables read in lock step: one feature's row from every table per
// step, each row checked against the first table's (the same id) and against
// its own table's first row (the same number of abundances), every abundance
// judged by the caller's rule.  The reader says what went wrong and where;
// each program words the fault in its own voice.  Tables are checked in
// their order, and within a row the id before the count before the values,
// so the fault reported is the first one a reader meets.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "vp_dsv.h"
#include "vp_limits.h"

// A rule for one abundance field: 0 with *value set when the text is valid,
// otherwise a nonzero code of the caller's own, handed back in the fault.
using lockstep_rule = int (*)(const char *text, double *value);

struct lockstep_table {
    FILE *stream = nullptr;
    const char *path = nullptr;
    vp_dsv_line *line = nullptr;
    uint64_t line_no = 0;  // of what line holds
    uint64_t rows = 0;     // data rows taken since the start
    bool pending = false;  // line holds the first data row, not taken yet
    bool header = false;   // the first line is a target_id header
    // Abundances per row, fixed by the first data row ever taken (kept over
    // a new start, so that a later pass holds each table to its first).
    size_t columns = 0;
    uint64_t first_data_line = 0;
    size_t offset = 0;               // of its first abundance in values
    std::vector<std::string> names;  // a header's column names after the id
};

struct lockstep {
    lockstep_table tables[MAX_CONDITIONS];
    size_t count = 0;
    lockstep_rule rule = nullptr;
    double *values = nullptr;  // the current row of every table, table after table
    size_t columns = 0;        // of all tables together
};

enum class lockstep_fault {
    none,
    no_line_memory,   // a line buffer could not be made
    no_value_memory,  // the row's values could not be held
    read_error,       // errno in error
    empty,            // the first line: the table holds nothing
    nul_byte,         // a line holds a NUL byte
    no_abundances,    // a first data row with an id alone
    wrong_count,      // found abundances, not the table's columns
    other_id,         // a row's id differs from the first table's
    ended_early,      // the table ended where the first table has a row
    runs_on,          // the table has a line after the first table ended
    bad_value,        // the rule refused a field: its text and the rule's code
};

struct lockstep_error {
    lockstep_fault kind = lockstep_fault::none;
    size_t table = 0;
    int error = 0;              // read_error
    uint64_t found = 0;         // wrong_count
    const char *text = nullptr; // bad_value, valid until the next read
    int code = 0;               // bad_value: the rule's; runs_on: 1 for a line with a NUL byte
};

enum class lockstep_step { row, end, fault };

// Starts reading the given streams from their first line (again, for a
// later pass over the same tables, with their columns kept): a target_id
// header gives the names, any other first line is the first data row.
// False with e set on a fault.
bool lockstep_start(lockstep &r, size_t count, FILE *const *streams, const char *const *paths,
                    lockstep_rule rule, lockstep_error &e);

// Takes the next row of every table into values.  The end: every table ended
// together.
lockstep_step lockstep_next(lockstep &r, lockstep_error &e);

// The id of the current row, and table c's abundances in it.
inline const char *lockstep_id(const lockstep &r)
{
    return vp_dsv_line_get_fields_ae(r.tables[0].line, 0);
}
inline double *lockstep_values(const lockstep &r, size_t c)
{
    return r.values + r.tables[c].offset;
}

// Releases the line buffers and the values; the streams stay the caller's.
void lockstep_free(lockstep &r);

#endif
