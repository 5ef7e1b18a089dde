#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "broken_pipe.h"
#include "mirdle.h"
#include "pvalue.h"
#include "rows.h"
#include "tables.h"
#include "vp_alloc.h"
#include "vp_stream.h"

namespace {

// The rows written as they are computed, the P-value library's trace inside
// them, for --debug.
int write_traced_rows(table_reader &r, FILE *report, bool near_exact, draw_source draws)
{
    const bool terminal = isatty(fileno(stdout)) != 0;
    unsigned long features_done = 0;
    read_fault fault;
    for (;;) {
        switch (read_feature(r, fault)) {
        case read_result::end:
            return 0;
        case read_result::fault: {
            const int status = report_fault(fault);
            fault.message.release();
            return status;
        }
        case read_result::row:
            break;
        }
        if (int err = print_feature(report, feature_id(r), r.sums, r.sds, static_cast<int>(r.n),
                                    r.rep_counts, r.reps, near_exact, draws))
            return report_write_error(err);
        if (std::ferror(report))
            return report_write_error(flush_error(report));
        progress_mark(++features_done, terminal);
    }
}

// The end of a run that reported every feature: the report must be written
// out before anything looks finished.
int finish(table_reader &r, FILE *report)
{
    errno = 0;
    if (std::fflush(report) != 0)
        return report_write_error(errno ? errno : EIO);
    if (std::ferror(report))
        return report_write_error(EIO);
    if (!isatty(fileno(stdout)))
        std::fputc('\n', stderr);
    for (size_t c = 0; c < r.n; ++c)
        vp_fclose(r.tables.tables[c].stream);
    errno = 0;
    if (vp_fclose(report) != 0)
        return report_write_error(errno ? errno : EIO);
    return 0;
}

}  // namespace

int report_write_error(int err)
{
    end_if_broken_pipe(err);
    std::fprintf(stderr, "mirdle: Could not write the report: %s.\n", std::strerror(err));
    return exit_io;
}

int compare_abundances(FILE *const *abundance_streams, const char *const *paths, int conditions,
                       FILE *report, bool near_exact, unsigned threads, const run_scope &scope)
{
    if (conditions < 2) {
        std::fputs("mirdle: Must have at least 2 conditions.\n", stderr);
        return exit_data;
    }
    table_reader r{};
    r.note_sizes = true;
    r.near_exact = near_exact;
    r.first_row = scope.first_row;
    r.last_row = scope.last_row;
    read_fault fault;
    int status = set_up_tables(r, abundance_streams, paths, static_cast<size_t>(conditions), fault);
    if (status != 0) {
        status = report_fault(fault);
    } else if (int err = scope.first_row == 1 ? print_header(report, conditions) : 0) {
        status = report_write_error(err);
    } else {
        status = Debug ? write_traced_rows(r, report, near_exact, scope.draws)
                       : write_rows(r, report, near_exact, threads < 1 ? 1 : threads, scope.draws);
        if (status == 0)
            status = finish(r, report);
    }
    release_tables(r);
    fault.message.release();
    return status;
}
