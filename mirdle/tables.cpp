#include "tables.h"

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "method.h"
#include "pvalue.h"
#include "vp_alloc.h"

namespace {

// sum + term, except that a sum that is already NaN stays that NaN.  The
// processor hands back the first operand's NaN when both are NaN, and
// compilers treat addition as commutative: without this the sign of the NaN,
// "-nan" or "nan" in the report, would depend on the compiler.
double add_keeping_nan(double sum, double term)
{
    return std::isnan(sum) ? sum : sum + term;
}

// The sum and the standard deviation (divisor: the count) of a row, summed in
// column order.
void moments(const double *values, size_t r, double *sum, double *sd)
{
    double total = 0.0;
    for (size_t k = 0; k < r; ++k)
        total = add_keeping_nan(total, values[k]);
    const double mean = total / static_cast<double>(r);
    double squares = 0.0;
    for (size_t k = 0; k < r; ++k)
        squares = add_keeping_nan(squares, (values[k] - mean) * (values[k] - mean));
    *sum = total;
    *sd = std::sqrt(squares / static_cast<double>(r));
}

// Any text strtof takes whole, in single precision widened to double.
int single_precision(const char *text, double *value)
{
    char *end;
    *value = std::strtof(text, &end);
    return *end != '\0';
}

}  // namespace

bool parse_rep_counts(const vp_dsv_line *line, double *rep_counts, double *sum, double *sd)
{
    const uint64_t fields = vp_dsv_line_get_num_fields(line);
    for (uint64_t k = 1; k < fields; ++k) {
        const char *text = vp_dsv_line_get_fields_ae(line, k);
        if (single_precision(text, &rep_counts[k - 1])) {
            std::fprintf(stderr, "mirdle: Invalid abundance: %s\n", text);
            return false;
        }
    }
    moments(rep_counts, fields - 1, sum, sd);
    return true;
}

namespace {

// Sets the fault and returns its status.
[[gnu::format(printf, 3, 4)]] int fail(read_fault &fault, int status, const char *format, ...)
{
    fault.status = status;
    fault.message.clear();
    fault.message.failed = false;
    text_sink out{&fault.message};
    va_list args;
    va_start(args, format);
    out.vput(format, args);
    va_end(args);
    return status;
}

// The reader's fault in mirdle's words.  A read that fails because a line
// buffer or a decompressor's state cannot grow is an allocation failure (69),
// any other an input/output error (74).
int word_fault(const table_reader &r, const lockstep_error &e, read_fault &fault)
{
    const size_t c = e.table;
    const lockstep_table &t = r.tables.tables[c];
    switch (e.kind) {
    case lockstep_fault::no_line_memory:
        return fail(fault, exit_no_memory, "mirdle: Could not allocate a line buffer.\n");
    case lockstep_fault::no_value_memory:
        return fail(fault, exit_no_memory, "mirdle: Could not allocate rep_counts.\n");
    case lockstep_fault::read_error:
        return fail(fault, e.error == ENOMEM ? exit_no_memory : exit_io,
                    "mirdle: Could not read condition %zu (%s): %s.\n", c, t.path,
                    std::strerror(e.error));
    case lockstep_fault::empty:
        return fail(fault, exit_data, "mirdle: Error reading first feature.\n");
    case lockstep_fault::nul_byte:
        if (t.line_no == 1)
            return fail(fault, exit_data, "mirdle: Error reading first feature.\n");
        return fail(fault, exit_data, "mirdle: Expected newline on condition stream %zu\n", c);
    case lockstep_fault::no_abundances:
        return fail(fault, exit_data, "mirdle: No abundance columns on condition %zu (%s) for %s\n",
                    c, t.path, vp_dsv_line_get_fields_ae(t.line, 0));
    case lockstep_fault::wrong_count:
        return fail(fault, exit_data,
                    "mirdle: Wrong number of abundances on condition %zu for %s: %lu, expected "
                    "%zu\n",
                    c, vp_dsv_line_get_fields_ae(t.line, 0), static_cast<unsigned long>(e.found),
                    t.columns);
    case lockstep_fault::other_id:
        return fail(fault, exit_data, "mirdle: Abundances files out of sync: %s %s\n",
                    lockstep_id(r.tables), vp_dsv_line_get_fields_ae(t.line, 0));
    case lockstep_fault::ended_early:
        return fail(fault, exit_data, "mirdle: Found EOF first on condition %zu, should be 0.\n",
                    c);
    case lockstep_fault::runs_on:
        return fail(fault, exit_data,
                    "mirdle: Expected EOF on condition %zu after EOF on condition 0.\n", c);
    case lockstep_fault::bad_value:
    case lockstep_fault::none:
        break;
    }
    return fail(fault, exit_data, "mirdle: Invalid abundance: %s\n", e.text);
}

std::string replicate_name(const table_reader &r, size_t c, size_t k)
{
    const std::vector<std::string> &names = r.tables.tables[c].names;
    if (k < names.size())
        return names[k];
    return "column " + std::to_string(k + 2);
}

// Replicates past the first `used` of condition c, as "a, b of path".
std::string left_out(const table_reader &r, size_t c, size_t used)
{
    std::string names;
    for (size_t k = used; k < r.reps[c]; ++k)
        names += (k > used ? ", " : "") + replicate_name(r, c, k);
    return names + " of " + r.tables.tables[c].path;
}

// A near-exact pair takes as many replicates from each condition, the first
// ones: with conditions of unequal size the P-value depends on the order of
// the larger one's columns, which an analyst must be told once.
void note_unequal_sizes(const table_reader &r)
{
    for (size_t i = 0; i + 1 < r.n; ++i)
        for (size_t j = i + 1; j < r.n; ++j) {
            if (r.reps[i] == r.reps[j])
                continue;
            const pair_plan plan = plan_pair(r.reps[i], r.reps[j], r.near_exact);
            // A pair of fewer than two replicates gets the library's own
            // refusal instead.
            if (plan.method != pair_method::near_exact || plan.pairs < 2 ||
                plan.pairs > near_exact_max_pairs)
                continue;
            std::string out;
            if (r.reps[i] > plan.pairs)
                out = left_out(r, i, plan.pairs);
            if (r.reps[j] > plan.pairs)
                out += (out.empty() ? "" : " and ") + left_out(r, j, plan.pairs);
            std::fprintf(stderr,
                         "mirdle: warning: conditions %zu and %zu differ in size (%zu and %zu "
                         "replicates): the near-exact P-value of %zu-%zu uses only the first "
                         "%zu of each and leaves out %s\n",
                         i + 1, j + 1, r.reps[i], r.reps[j], i + 1, j + 1, plan.pairs,
                         out.c_str());
        }
}

}  // namespace

int set_up_tables(table_reader &r, FILE *const *streams, const char *const *paths, size_t n,
                  read_fault &fault)
{
    r.n = n;
    lockstep_error e;
    if (!lockstep_start(r.tables, n, streams, paths, single_precision, e))
        return word_fault(r, e, fault);
    return 0;
}

void release_tables(table_reader &r)
{
    lockstep_free(r.tables);
    for (size_t c = 0; c < r.n; ++c)
        r.rep_counts[c] = nullptr;
}

namespace {

read_result read_next_feature(table_reader &r, read_fault &fault)
{
    lockstep_error e;
    switch (lockstep_next(r.tables, e)) {
    case lockstep_step::end:
        return read_result::end;
    case lockstep_step::fault:
        word_fault(r, e, fault);
        return read_result::fault;
    case lockstep_step::row:
        break;
    }
    for (size_t c = 0; c < r.n; ++c) {
        r.reps[c] = r.tables.tables[c].columns;
        r.rep_counts[c] = lockstep_values(r.tables, c);
        moments(r.rep_counts[c], r.reps[c], &r.sums[c], &r.sds[c]);
    }
    if (r.note_sizes) {
        r.note_sizes = false;
        note_unequal_sizes(r);
    }
    return read_result::row;
}

}  // namespace

read_result read_feature(table_reader &r, read_fault &fault)
{
    for (;;) {
        if (r.rows_read >= r.last_row)
            return read_result::end;
        const read_result got = read_next_feature(r, fault);
        if (got != read_result::row || ++r.rows_read >= r.first_row)
            return got;
    }
}
