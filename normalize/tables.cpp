#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "abundance_text.h"
#include "normalize.h"
#include "vp_stream.h"

namespace {

using ull = unsigned long long;

int read_error(const table_in &t)
{
    const int e = errno ? errno : EIO;
    std::fprintf(stderr, "normalize: cannot read %s: %s.\n", t.path, std::strerror(e));
    return e == ENOMEM ? exit_no_memory : exit_io;
}

int no_memory()
{
    std::fputs("normalize: out of memory.\n", stderr);
    return exit_no_memory;
}

// The next line of a table: '\n', EOF or a status after its message.
int next_line(table_in &t)
{
    if (t.pending) {
        t.pending = false;
        return '\n';
    }
    errno = 0;
    const int end = vp_dsv_line_read(t.line, t.stream, "\t");
    if (end == VP_DSV_READ_ERROR)
        return read_error(t);
    if (end == EOF) {
        // A failing stream may also end a read early.
        if (std::ferror(t.stream))
            return read_error(t);
        return EOF;
    }
    ++t.line_no;
    if (end == VP_DSV_NUL_BYTE) {
        std::fprintf(stderr, "normalize: %s:%llu: NUL byte in the line.\n", t.path, ull(t.line_no));
        return exit_data;
    }
    return '\n';
}

const char *field(const table_in &t, uint64_t k)
{
    return vp_dsv_line_get_fields_ae(t.line, k);
}

int copy_names(table_in &t)
{
    const uint64_t fields = vp_dsv_line_get_num_fields(t.line);
    t.names = static_cast<char **>(std::calloc(fields, sizeof(char *)));
    if (t.names == nullptr)
        return no_memory();
    t.name_count = fields - 1;
    for (uint64_t k = 1; k < fields; ++k) {
        if (field(t, k)[0] == '\0')
            continue;
        t.names[k - 1] = strdup(field(t, k));
        if (t.names[k - 1] == nullptr)
            return no_memory();
    }
    return 0;
}

// The first data row of a table in the first pass fixes its column count and
// its place among all columns.
int first_row(tables_run &r, table_in &t)
{
    const uint64_t abundances = vp_dsv_line_get_num_fields(t.line) - 1;
    if (abundances == 0) {
        std::fprintf(stderr, "normalize: %s:%llu: no abundance after the id.\n", t.path,
                     ull(t.line_no));
        return exit_data;
    }
    t.columns = abundances;
    t.first_data_line = t.line_no;
    t.offset = r.columns;
    r.columns += abundances;
    void *grown = std::realloc(r.values, r.columns * sizeof(double));
    if (grown == nullptr)
        return no_memory();
    r.values = static_cast<double *>(grown);
    return 0;
}

int take_row(tables_run &r, table_in &t)
{
    if (t.columns == 0 && !r.columns_known) {
        if (int status = first_row(r, t))
            return status;
    }
    const uint64_t abundances = vp_dsv_line_get_num_fields(t.line) - 1;
    if (abundances != t.columns) {
        std::fprintf(stderr, "normalize: %s:%llu: %llu abundances, expected %zu as on line %llu.\n",
                     t.path, ull(t.line_no), ull(abundances), t.columns, ull(t.first_data_line));
        return exit_data;
    }
    double *values = r.values + t.offset;
    for (size_t j = 0; j < t.columns; ++j) {
        const char *text = field(t, j + 1);
        switch (parse_abundance(text, &values[j])) {
        case abundance_ok:
            continue;
        case abundance_invalid:
            std::fprintf(stderr, "normalize: %s:%llu: invalid abundance '%s'.\n", t.path,
                         ull(t.line_no), text);
            return exit_data;
        case abundance_not_finite:
            std::fprintf(stderr,
                         "normalize: %s:%llu: abundance '%s' is not a finite single-precision "
                         "number.\n",
                         t.path, ull(t.line_no), text);
            return exit_data;
        default:
            std::fprintf(stderr, "normalize: %s:%llu: negative abundance '%s'.\n", t.path,
                         ull(t.line_no), text);
            return exit_data;
        }
    }
    for (size_t j = 0; j < t.columns; ++j) {
        uint64_t bits;
        std::memcpy(&bits, &values[j], sizeof bits);
        r.digest = (r.digest ^ bits) * 0x100000001b3u;
    }
    ++t.rows;
    return 0;
}

// The first table has ended: so must every other.
int check_all_ended(tables_run &r)
{
    const table_in &first = r.tables[0];
    for (size_t c = 1; c < r.count; ++c) {
        table_in &t = r.tables[c];
        const int end = next_line(t);
        if (end == EOF) {
            r.digest = (r.digest ^ t.rows) * 0x100000001b3u;
            continue;
        }
        if (end != '\n')
            return end;
        std::fprintf(stderr, "normalize: %s:%llu: row %s beyond the end of %s (%llu rows).\n",
                     t.path, ull(t.line_no), field(t, 0), first.path, ull(first.rows));
        return exit_data;
    }
    return 0;
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
    for (size_t c = 0; c < r.count; ++c) {
        table_in &t = r.tables[c];
        if (t.line == nullptr && (t.line = vp_dsv_line_new()) == nullptr)
            return no_memory();
        t.line_no = 0;
        t.rows = 0;
        t.pending = false;
        const int end = next_line(t);
        if (end == EOF) {
            std::fprintf(stderr, "normalize: %s: empty table.\n", t.path);
            return exit_data;
        }
        if (end != '\n')
            return end;
        t.header = std::strcmp(field(t, 0), "target_id") == 0;
        if (!t.header)
            t.pending = true;
        else if (!r.columns_known && t.names == nullptr) {
            if (int status = copy_names(t))
                return status;
        }
    }
    return 0;
}

int read_rows(tables_run &r, bool *row)
{
    *row = false;
    table_in &first = r.tables[0];
    int end = next_line(first);
    if (end == EOF) {
        r.digest = (r.digest ^ first.rows) * 0x100000001b3u;
        return check_all_ended(r);
    }
    if (end != '\n')
        return end;
    if (int status = take_row(r, first))
        return status;
    const char *id = field(first, 0);
    for (size_t c = 1; c < r.count; ++c) {
        table_in &t = r.tables[c];
        end = next_line(t);
        if (end == EOF) {
            std::fprintf(stderr, "normalize: %s ended after %llu rows, but %s:%llu has row %s.\n",
                         t.path, ull(t.rows), first.path, ull(first.line_no), id);
            return exit_data;
        }
        if (end != '\n')
            return end;
        if (std::strcmp(field(t, 0), id) != 0) {
            std::fprintf(stderr, "normalize: %s:%llu: id %s, but %s:%llu has %s.\n", t.path,
                         ull(t.line_no), field(t, 0), first.path, ull(first.line_no), id);
            return exit_data;
        }
        if (int status = take_row(r, t))
            return status;
    }
    *row = true;
    return 0;
}

const char *row_id(const tables_run &r)
{
    return field(r.tables[0], 0);
}

void close_tables(tables_run &r)
{
    for (size_t c = 0; c < r.count; ++c) {
        if (r.tables[c].stream != nullptr)
            vp_fclose(r.tables[c].stream);
        r.tables[c].stream = nullptr;
    }
}
