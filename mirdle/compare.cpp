#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "broken_pipe.h"
#include "mirdle.h"
#include "vp_alloc.h"
#include "vp_stream.h"

bool parse_rep_counts(const vp_dsv_line *line, double *rep_counts, double *sum, double *sd)
{
    const uint64_t fields = vp_dsv_line_get_num_fields(line);
    const uint64_t r = fields - 1;
    double total = 0.0;
    for (uint64_t k = 1; k < fields; ++k) {
        const char *text = vp_dsv_line_get_fields_ae(line, k);
        char *end;
        double value = std::strtof(text, &end);
        if (*end != '\0') {
            std::fprintf(stderr, "mirdle: Invalid abundance: %s\n", text);
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

namespace {

// State of one run: one row per condition, nothing per feature.
struct run {
    FILE *const *streams;
    const char *const *paths;
    size_t n;
    FILE *report;
    bool near_exact;
    vp_dsv_line *lines[MAX_CONDITIONS];
    // A table without header whose stream cannot be repositioned keeps its
    // first row, already read, for the first pass.
    bool pending[MAX_CONDITIONS];
    double *rep_counts[MAX_CONDITIONS];
    size_t reps[MAX_CONDITIONS];
    double sums[MAX_CONDITIONS];
    double sds[MAX_CONDITIONS];
};

// A read that fails because a line buffer or a decompressor's state cannot
// grow is an allocation failure (69), any other an input/output error (74).
int read_error(const run &r, size_t c)
{
    const int e = errno ? errno : EIO;
    std::fprintf(stderr, "mirdle: Could not read condition %zu (%s): %s.\n", c, r.paths[c],
                 std::strerror(e));
    return e == ENOMEM ? exit_no_memory : exit_io;
}

int read_row(run &r, size_t c)
{
    if (r.pending[c]) {
        r.pending[c] = false;
        return '\n';
    }
    errno = 0;
    return vp_dsv_line_read(r.lines[c], r.streams[c], "\t");
}

// Allocates the condition's array at its first data row and checks that every
// later row has the same number of fields, so nothing is written past it.
int take_row(run &r, size_t c, const char *feature_id)
{
    const uint64_t replicates = vp_dsv_line_get_num_fields(r.lines[c]) - 1;
    if (r.rep_counts[c] == nullptr) {
        if (replicates == 0) {
            std::fprintf(stderr, "mirdle: No abundance columns on condition %zu (%s) for %s\n", c,
                         r.paths[c], feature_id);
            return exit_data;
        }
        r.reps[c] = replicates;
        r.rep_counts[c] = static_cast<double *>(vp_malloc(replicates, sizeof(double)));
        if (r.rep_counts[c] == nullptr) {
            std::fputs("mirdle: Could not allocate rep_counts.\n", stderr);
            return exit_no_memory;
        }
    } else if (replicates != r.reps[c]) {
        std::fprintf(stderr,
                     "mirdle: Wrong number of abundances on condition %zu for %s: %lu, expected "
                     "%zu\n",
                     c, feature_id, replicates, r.reps[c]);
        return exit_data;
    }
    if (!parse_rep_counts(r.lines[c], r.rep_counts[c], &r.sums[c], &r.sds[c]))
        return exit_data;
    return 0;
}

int set_up(run &r)
{
    for (size_t c = 0; c < r.n; ++c) {
        // The run's state is static: nothing may be left from an earlier call.
        r.pending[c] = false;
        r.rep_counts[c] = nullptr;
        r.lines[c] = vp_dsv_line_new();
        if (r.lines[c] == nullptr) {
            std::fputs("mirdle: Could not allocate a line buffer.\n", stderr);
            return exit_no_memory;
        }
        errno = 0;
        int end = vp_dsv_line_read(r.lines[c], r.streams[c], "\t");
        if (end == VP_DSV_READ_ERROR)
            return read_error(r, c);
        if (end != '\n') {
            std::fputs("mirdle: Error reading first feature.\n", stderr);
            return exit_data;
        }
        if (std::strcmp(vp_dsv_line_get_fields_ae(r.lines[c], 0), "target_id") == 0) {
            vp_dsv_skip_rest_of_line(r.streams[c]);
        } else if (std::fseek(r.streams[c], 0, SEEK_SET) == 0) {
            std::clearerr(r.streams[c]);
        } else {
            r.pending[c] = true;
        }
    }
    return 0;
}

// Condition 0 has ended: every other table must have ended too.
int check_all_ended(run &r)
{
    for (size_t c = 1; c < r.n; ++c) {
        if (r.pending[c] || std::getc(r.streams[c]) != EOF) {
            std::fprintf(stderr, "mirdle: Expected EOF on condition %zu after EOF on condition 0.\n",
                         c);
            return exit_data;
        }
        if (std::ferror(r.streams[c]))
            return read_error(r, c);
    }
    return 0;
}

// The stream's error indicator is set but no write of ours failed: a trace
// line of the P-value library, written to the same standard output, did.  The
// error stays (a full disk, a closed descriptor), so flushing what is left
// gives its reason afresh.
int flush_error(FILE *report)
{
    errno = 0;
    if (std::fflush(report) != 0 && errno != 0)
        return errno;
    return EIO;
}

}  // namespace

int report_write_error(int err)
{
    end_if_broken_pipe(err);
    std::fprintf(stderr, "mirdle: Could not write the report: %s.\n", std::strerror(err));
    return exit_io;
}

int compare_abundances(FILE *const *abundance_streams, const char *const *paths, int conditions,
                       FILE *report, bool near_exact)
{
    if (conditions < 2) {
        std::fputs("mirdle: Must have at least 2 conditions.\n", stderr);
        return exit_data;
    }
    static run r;
    r.streams = abundance_streams;
    r.paths = paths;
    r.n = static_cast<size_t>(conditions);
    r.report = report;
    r.near_exact = near_exact;
    if (int status = set_up(r))
        return status;

    if (int err = print_header(report, conditions))
        return report_write_error(err);
    const bool terminal = isatty(fileno(stdout));
    unsigned long features_done = 0;
    for (;;) {
        int end = read_row(r, 0);
        if (end == EOF) {
            if (int status = check_all_ended(r))
                return status;
            break;
        }
        if (end == VP_DSV_READ_ERROR)
            return read_error(r, 0);
        if (end != '\n') {
            std::fprintf(stderr, "mirdle: Expected newline on condition stream %zu\n", size_t{0});
            return exit_data;
        }
        const char *feature_id = vp_dsv_line_get_fields_ae(r.lines[0], 0);
        if (int status = take_row(r, 0, feature_id))
            return status;
        for (size_t c = 1; c < r.n; ++c) {
            end = read_row(r, c);
            if (end == EOF) {
                std::fprintf(stderr, "mirdle: Found EOF first on condition %zu, should be 0.\n", c);
                return exit_data;
            }
            if (end == VP_DSV_READ_ERROR)
                return read_error(r, c);
            if (end != '\n') {
                std::fprintf(stderr, "mirdle: Expected newline on condition stream %zu\n", c);
                return exit_data;
            }
            const char *id = vp_dsv_line_get_fields_ae(r.lines[c], 0);
            if (std::strcmp(id, feature_id) != 0) {
                std::fprintf(stderr, "mirdle: Abundances files out of sync: %s %s\n", feature_id,
                             id);
                return exit_data;
            }
            if (int status = take_row(r, c, id))
                return status;
        }
        if (int err = print_feature(report, feature_id, r.sums, r.sds, conditions, r.rep_counts,
                                    r.reps, near_exact))
            return report_write_error(err);
        if (std::ferror(report))
            return report_write_error(flush_error(report));
        ++features_done;
        if (features_done % 100 == 0) {
            if (terminal)
                std::fprintf(stderr, "%lu\r", features_done);
            else
                std::fputc('.', stderr);
        }
    }

    // A report that cannot be written must fail before anything looks finished.
    errno = 0;
    if (std::fflush(report) != 0)
        return report_write_error(errno ? errno : EIO);
    if (std::ferror(report))
        return report_write_error(flush_error(report));
    if (!terminal)
        std::fputc('\n', stderr);
    for (size_t c = 0; c < r.n; ++c)
        vp_fclose(r.streams[c]);
    errno = 0;
    if (vp_fclose(report) != 0)
        return report_write_error(errno ? errno : EIO);
    return 0;
}
