#include "lockstep.h"

#include <cerrno>
#include <cstring>

#include "vp_alloc.h"

namespace {

bool fail(lockstep_error &e, lockstep_fault kind, size_t c)
{
    e = lockstep_error{};
    e.kind = kind;
    e.table = c;
    return false;
}

bool read_error(lockstep_error &e, size_t c)
{
    fail(e, lockstep_fault::read_error, c);
    e.error = errno ? errno : EIO;
    return false;
}

// The next line of table c: '\n' for a line, EOF at the end, or 0 with e set.
int next_line(lockstep &r, size_t c, lockstep_error &e)
{
    lockstep_table &t = r.tables[c];
    if (t.pending) {
        t.pending = false;
        return '\n';
    }
    errno = 0;
    const int end = vp_dsv_line_read(t.line, t.stream, "\t");
    if (end == VP_DSV_READ_ERROR || (end == EOF && std::ferror(t.stream)))
        return read_error(e, c);
    if (end == EOF)
        return EOF;
    ++t.line_no;
    if (end == VP_DSV_NUL_BYTE)
        return fail(e, lockstep_fault::nul_byte, c);
    return '\n';
}

// Table c's first data row ever makes room for its abundances after those of
// the tables before it.  The values are moved by hand rather than realloc'd,
// so that every block comes from vp_malloc.
bool make_room(lockstep &r, size_t c, uint64_t abundances, lockstep_error &e)
{
    lockstep_table &t = r.tables[c];
    if (abundances == 0)
        return fail(e, lockstep_fault::no_abundances, c);
    double *grown = static_cast<double *>(vp_malloc(r.columns + abundances, sizeof(double)));
    if (grown == nullptr)
        return fail(e, lockstep_fault::no_value_memory, c);
    if (r.columns > 0)
        std::memcpy(grown, r.values, r.columns * sizeof(double));
    vp_free(r.values);
    r.values = grown;
    t.columns = abundances;
    t.first_data_line = t.line_no;
    t.offset = r.columns;
    r.columns += abundances;
    return true;
}

bool take_row(lockstep &r, size_t c, lockstep_error &e)
{
    lockstep_table &t = r.tables[c];
    if (c > 0 && std::strcmp(vp_dsv_line_get_fields_ae(t.line, 0), lockstep_id(r)) != 0)
        return fail(e, lockstep_fault::other_id, c);
    const uint64_t abundances = vp_dsv_line_get_num_fields(t.line) - 1;
    if (t.columns == 0) {
        if (!make_room(r, c, abundances, e))
            return false;
    } else if (abundances != t.columns) {
        fail(e, lockstep_fault::wrong_count, c);
        e.found = abundances;
        return false;
    }
    double *values = lockstep_values(r, c);
    for (size_t k = 0; k < t.columns; ++k) {
        const char *text = vp_dsv_line_get_fields_ae(t.line, k + 1);
        if (const int code = r.rule(text, &values[k])) {
            fail(e, lockstep_fault::bad_value, c);
            e.text = text;
            e.code = code;
            return false;
        }
    }
    ++t.rows;
    return true;
}

// The first table has ended: so must every other.
lockstep_step check_all_ended(lockstep &r, lockstep_error &e)
{
    for (size_t c = 1; c < r.count; ++c) {
        const int end = next_line(r, c, e);
        if (end == EOF)
            continue;
        // Any line at all is a line too many, even a malformed one, whose
        // fields are then not to be shown.
        if (end == '\n') {
            fail(e, lockstep_fault::runs_on, c);
        } else if (e.kind == lockstep_fault::nul_byte) {
            fail(e, lockstep_fault::runs_on, c);
            e.code = 1;
        }
        return lockstep_step::fault;
    }
    return lockstep_step::end;
}

}  // namespace

bool lockstep_start(lockstep &r, size_t count, FILE *const *streams, const char *const *paths,
                    lockstep_rule rule, lockstep_error &e)
{
    r.count = count;
    r.rule = rule;
    for (size_t c = 0; c < count; ++c) {
        lockstep_table &t = r.tables[c];
        t.stream = streams[c];
        t.path = paths[c];
        t.line_no = 0;
        t.rows = 0;
        t.pending = false;
        if (t.line == nullptr && (t.line = vp_dsv_line_new()) == nullptr)
            return fail(e, lockstep_fault::no_line_memory, c);
        const int end = next_line(r, c, e);
        if (end == EOF)
            return fail(e, lockstep_fault::empty, c);
        if (end != '\n')
            return false;
        t.header = std::strcmp(vp_dsv_line_get_fields_ae(t.line, 0), "target_id") == 0;
        if (!t.header) {
            t.pending = true;
            continue;
        }
        t.names.clear();
        const uint64_t fields = vp_dsv_line_get_num_fields(t.line);
        for (uint64_t k = 1; k < fields; ++k)
            t.names.emplace_back(vp_dsv_line_get_fields_ae(t.line, k));
    }
    return true;
}

lockstep_step lockstep_next(lockstep &r, lockstep_error &e)
{
    for (size_t c = 0; c < r.count; ++c) {
        const int end = next_line(r, c, e);
        if (end == EOF) {
            if (c == 0)
                return check_all_ended(r, e);
            fail(e, lockstep_fault::ended_early, c);
            return lockstep_step::fault;
        }
        if (end != '\n' || !take_row(r, c, e))
            return lockstep_step::fault;
    }
    return lockstep_step::row;
}

void lockstep_free(lockstep &r)
{
    for (size_t c = 0; c < r.count; ++c) {
        vp_dsv_line_free(r.tables[c].line);
        r.tables[c].line = nullptr;
    }
    vp_free(r.values);
    r.values = nullptr;
}
