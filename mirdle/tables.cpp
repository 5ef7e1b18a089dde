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

bool parse_abundances(const vp_dsv_line *line, double *rep_counts, double *sum, double *sd,
                      const char **bad)
{
    const uint64_t fields = vp_dsv_line_get_num_fields(line);
    const uint64_t r = fields - 1;
    double total = 0.0;
    for (uint64_t k = 1; k < fields; ++k) {
        const char *text = vp_dsv_line_get_fields_ae(line, k);
        char *end;
        const double value = std::strtof(text, &end);
        if (*end != '\0') {
            *bad = text;
            return false;
        }
        rep_counts[k - 1] = value;
        total += value;
    }
    const double mean = total / static_cast<double>(r);
    double squares = 0.0;
    for (uint64_t k = 0; k < r; ++k)
        squares += (rep_counts[k] - mean) * (rep_counts[k] - mean);
    *sum = total;
    *sd = std::sqrt(squares / static_cast<double>(r));
    return true;
}

bool parse_rep_counts(const vp_dsv_line *line, double *rep_counts, double *sum, double *sd)
{
    const char *bad = nullptr;
    if (parse_abundances(line, rep_counts, sum, sd, &bad))
        return true;
    std::fprintf(stderr, "mirdle: Invalid abundance: %s\n", bad);
    return false;
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

// A read that fails because a line buffer or a decompressor's state cannot
// grow is an allocation failure (69), any other an input/output error (74).
int read_error(const table_reader &r, size_t c, read_fault &fault)
{
    const int e = errno ? errno : EIO;
    return fail(fault, e == ENOMEM ? exit_no_memory : exit_io,
                "mirdle: Could not read condition %zu (%s): %s.\n", c, r.paths[c],
                std::strerror(e));
}

int read_line(table_reader &r, size_t c)
{
    if (r.pending[c]) {
        r.pending[c] = false;
        return '\n';
    }
    errno = 0;
    return vp_dsv_line_read(r.lines[c], r.streams[c], "\t");
}

// One condition's row of the current feature: read, ended as a row must be,
// the same id as condition 0's (for c >= 1), the array made at its first data
// row and the same number of fields on every later one, so that nothing is
// written past it, and every abundance valid.  Returns 0, EOF when condition
// 0 has no further row, or the status of the fault.
int take_row(table_reader &r, size_t c, read_fault &fault)
{
    const int end = read_line(r, c);
    if (end == EOF) {
        if (c == 0)
            return EOF;
        return fail(fault, exit_data, "mirdle: Found EOF first on condition %zu, should be 0.\n",
                    c);
    }
    if (end == VP_DSV_READ_ERROR)
        return read_error(r, c, fault);
    if (end != '\n')
        return fail(fault, exit_data, "mirdle: Expected newline on condition stream %zu\n", c);

    const char *id = vp_dsv_line_get_fields_ae(r.lines[c], 0);
    if (c > 0) {
        const char *feature_id = vp_dsv_line_get_fields_ae(r.lines[0], 0);
        if (std::strcmp(id, feature_id) != 0)
            return fail(fault, exit_data, "mirdle: Abundances files out of sync: %s %s\n",
                        feature_id, id);
    }
    const uint64_t replicates = vp_dsv_line_get_num_fields(r.lines[c]) - 1;
    if (r.rep_counts[c] == nullptr) {
        if (replicates == 0)
            return fail(fault, exit_data,
                        "mirdle: No abundance columns on condition %zu (%s) for %s\n", c,
                        r.paths[c], id);
        r.reps[c] = replicates;
        r.rep_counts[c] = static_cast<double *>(vp_malloc(replicates, sizeof(double)));
        if (r.rep_counts[c] == nullptr)
            return fail(fault, exit_no_memory, "mirdle: Could not allocate rep_counts.\n");
    } else if (replicates != r.reps[c]) {
        return fail(fault, exit_data,
                    "mirdle: Wrong number of abundances on condition %zu for %s: %lu, expected "
                    "%zu\n",
                    c, id, replicates, r.reps[c]);
    }
    const char *bad = nullptr;
    if (!parse_abundances(r.lines[c], r.rep_counts[c], &r.sums[c], &r.sds[c], &bad))
        return fail(fault, exit_data, "mirdle: Invalid abundance: %s\n", bad);
    return 0;
}

// Condition 0 has ended: every other table must have ended too.
int check_all_ended(table_reader &r, read_fault &fault)
{
    for (size_t c = 1; c < r.n; ++c) {
        if (r.pending[c] || std::getc(r.streams[c]) != EOF)
            return fail(fault, exit_data,
                        "mirdle: Expected EOF on condition %zu after EOF on condition 0.\n", c);
        if (std::ferror(r.streams[c]))
            return read_error(r, c, fault);
    }
    return 0;
}

std::string replicate_name(const table_reader &r, size_t c, size_t k)
{
    if (k < r.columns[c].size())
        return r.columns[c][k];
    return "column " + std::to_string(k + 2);
}

// Replicates past the first `used` of condition c, as "a, b of path".
std::string left_out(const table_reader &r, size_t c, size_t used)
{
    std::string names;
    for (size_t k = used; k < r.reps[c]; ++k)
        names += (k > used ? ", " : "") + replicate_name(r, c, k);
    return names + " of " + r.paths[c];
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
    r.streams = streams;
    r.paths = paths;
    r.n = n;
    for (size_t c = 0; c < n; ++c) {
        r.pending[c] = false;
        r.rep_counts[c] = nullptr;
        r.lines[c] = vp_dsv_line_new();
        if (r.lines[c] == nullptr)
            return fail(fault, exit_no_memory, "mirdle: Could not allocate a line buffer.\n");
        errno = 0;
        const int end = vp_dsv_line_read(r.lines[c], r.streams[c], "\t");
        if (end == VP_DSV_READ_ERROR)
            return read_error(r, c, fault);
        if (end != '\n')
            return fail(fault, exit_data, "mirdle: Error reading first feature.\n");
        r.columns[c].clear();
        if (std::strcmp(vp_dsv_line_get_fields_ae(r.lines[c], 0), "target_id") == 0) {
            const uint64_t fields = vp_dsv_line_get_num_fields(r.lines[c]);
            for (uint64_t k = 1; k < fields; ++k)
                r.columns[c].emplace_back(vp_dsv_line_get_fields_ae(r.lines[c], k));
            vp_dsv_skip_rest_of_line(r.streams[c]);
        } else if (std::fseek(r.streams[c], 0, SEEK_SET) == 0) {
            std::clearerr(r.streams[c]);
        } else {
            r.pending[c] = true;
        }
    }
    return 0;
}

namespace {

read_result read_next_feature(table_reader &r, read_fault &fault)
{
    for (size_t c = 0; c < r.n; ++c) {
        const int status = take_row(r, c, fault);
        if (status == EOF)
            return check_all_ended(r, fault) ? read_result::fault : read_result::end;
        if (status != 0)
            return read_result::fault;
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
