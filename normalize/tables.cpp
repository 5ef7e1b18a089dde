#include <cerrno>
#include <cstring>

#include "abundance_text.h"
#include "normalize.h"
#include "vp_stream.h"

namespace {

using ull = unsigned long long;

const char *field(const lockstep_table &t, uint64_t k)
{
    return vp_dsv_line_get_fields_ae(t.line, k);
}

// The reader's fault in normalize's words, each naming the file and line.
int word_fault(const tables_run &r, const lockstep_error &e)
{
    const lockstep_table &t = r.rows.tables[e.table];
    const lockstep_table &first = r.rows.tables[0];
    switch (e.kind) {
    case lockstep_fault::no_line_memory:
    case lockstep_fault::no_value_memory:
    case lockstep_fault::none:
        std::fputs("normalize: out of memory.\n", stderr);
        return exit_no_memory;
    case lockstep_fault::read_error:
        std::fprintf(stderr, "normalize: cannot read %s: %s.\n", t.path, std::strerror(e.error));
        return e.error == ENOMEM ? exit_no_memory : exit_io;
    case lockstep_fault::empty:
        std::fprintf(stderr, "normalize: %s: empty table.\n", t.path);
        break;
    case lockstep_fault::nul_byte:
        std::fprintf(stderr, "normalize: %s:%llu: NUL byte in the line.\n", t.path, ull(t.line_no));
        break;
    case lockstep_fault::no_abundances:
        std::fprintf(stderr, "normalize: %s:%llu: no abundance after the id.\n", t.path,
                     ull(t.line_no));
        break;
    case lockstep_fault::wrong_count:
        std::fprintf(stderr, "normalize: %s:%llu: %llu abundances, expected %zu as on line %llu.\n",
                     t.path, ull(t.line_no), ull(e.found), t.columns, ull(t.first_data_line));
        break;
    case lockstep_fault::other_id:
        std::fprintf(stderr, "normalize: %s:%llu: id %s, but %s:%llu has %s.\n", t.path,
                     ull(t.line_no), field(t, 0), first.path, ull(first.line_no), field(first, 0));
        break;
    case lockstep_fault::ended_early:
        std::fprintf(stderr, "normalize: %s ended after %llu rows, but %s:%llu has row %s.\n",
                     t.path, ull(t.rows), first.path, ull(first.line_no), field(first, 0));
        break;
    case lockstep_fault::runs_on:
        if (e.code != 0) {
            std::fprintf(stderr, "normalize: %s:%llu: NUL byte in the line.\n", t.path,
                         ull(t.line_no));
            break;
        }
        std::fprintf(stderr, "normalize: %s:%llu: row %s beyond the end of %s (%llu rows).\n",
                     t.path, ull(t.line_no), field(t, 0), first.path, ull(first.rows));
        break;
    case lockstep_fault::bad_value:
        switch (e.code) {
        case abundance_not_finite:
            std::fprintf(stderr,
                         "normalize: %s:%llu: abundance '%s' is not a finite single-precision "
                         "number.\n",
                         t.path, ull(t.line_no), e.text);
            break;
        case abundance_negative:
            std::fprintf(stderr, "normalize: %s:%llu: negative abundance '%s'.\n", t.path,
                         ull(t.line_no), e.text);
            break;
        default:
            std::fprintf(stderr, "normalize: %s:%llu: invalid abundance '%s'.\n", t.path,
                         ull(t.line_no), e.text);
            break;
        }
        break;
    }
    return exit_data;
}

void fold(uint64_t &digest, uint64_t bits)
{
    digest = (digest ^ bits) * 0x100000001b3u;
}

}  // namespace

int open_tables(tables_run &r)
{
    for (size_t c = 0; c < r.count; ++c) {
        table_in &t = r.tables[c];
        t.stream = vp_fopen(t.path, "r");
        if (t.stream == nullptr) {
            std::fprintf(stderr, "normalize: cannot open %s: %s.\n", t.path, std::strerror(errno));
            return exit_no_input;
        }
    }
    return 0;
}

int start_tables(tables_run &r)
{
    r.digest = 0xcbf29ce484222325u;
    FILE *streams[MAX_TABLES];
    const char *paths[MAX_TABLES];
    for (size_t c = 0; c < r.count; ++c) {
        streams[c] = r.tables[c].stream;
        paths[c] = r.tables[c].path;
    }
    lockstep_error e;
    if (!lockstep_start(r.rows, r.count, streams, paths, parse_abundance, e))
        return word_fault(r, e);
    return 0;
}

int read_rows(tables_run &r, bool *row)
{
    lockstep_error e;
    switch (lockstep_next(r.rows, e)) {
    case lockstep_step::fault:
        *row = false;
        return word_fault(r, e);
    case lockstep_step::end:
        *row = false;
        fold(r.digest, r.rows.tables[0].rows);
        return 0;
    case lockstep_step::row:
        break;
    }
    for (size_t j = 0; j < r.rows.columns; ++j) {
        uint64_t bits;
        std::memcpy(&bits, &r.rows.values[j], sizeof bits);
        fold(r.digest, bits);
    }
    *row = true;
    return 0;
}

void close_tables(tables_run &r)
{
    for (size_t c = 0; c < r.count; ++c) {
        if (r.tables[c].stream != nullptr)
            vp_fclose(r.tables[c].stream);
        r.tables[c].stream = nullptr;
    }
}
