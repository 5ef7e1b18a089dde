// normalize: divides every abundance of the condition tables by its sample's
// size factor, computed over all tables together, and writes the tables into
// an output directory for the comparison.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "abundance_text.h"
#include "cli.h"
#include "normalize.h"
#include "out_dir.h"
#include "size_factors.h"

namespace {

constexpr char factors_name[] = "size_factors.tsv";

struct options {
    int method = method_ratio;
    const char *out_dir = nullptr;
    const char *tables[MAX_TABLES];
    size_t count = 0;
};

options o;

// The output directory's files, and each one's stream: the tables in their
// order, then the factors.
out_dir out;
FILE *streams[MAX_TABLES + 1];

const char *const methods[] = {"ratio", "upperquartile", "total", nullptr};

const cli_option option_table[] = {
    {"--output", 'o', cli_kind::string, &o.out_dir, "DIR",
     "the output directory, created if missing"},
    {"--method", 0, cli_kind::choice, &o.method, "METHOD",
     "ratio: median of ratios to each gene's geometric mean\n"
     "(the default); upperquartile: each sample's 75th\n"
     "percentile; total: each sample's sum",
     0, 0, methods},
};

const cli_command command = {
    "[--method ratio|upperquartile|total] -o DIR TABLE...",
    "Divides every abundance of the condition tables by its sample's size factor,\n"
    "computed over all tables together, and writes each table under its own name\n"
    "(without .gz, .bz2 or .xz) into DIR, with the factors in DIR/size_factors.tsv.\n",
    option_table,
    std::size(option_table),
    "\nThe factors are printed on standard output; see dranvel-normalize(1).\n",
};

int write_error(size_t k)
{
    return cli_errno_fail(exit_io, errno ? errno : EIO, "cannot write %s",
                          out.files[k].path.c_str());
}

char *join_path(const char *dir, const char *name)
{
    const size_t size = std::strlen(dir) + std::strlen(name) + 2;
    char *path = static_cast<char *>(std::malloc(size));
    if (path != nullptr)
        std::snprintf(path, size, "%s/%s", dir, name);
    return path;
}

// The name a table is written under: its last path element without a
// compression suffix.
char *output_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    size_t length = std::strlen(base);
    static const char *const suffixes[] = {".gz", ".bz2", ".xz"};
    for (const char *suffix : suffixes) {
        const size_t n = std::strlen(suffix);
        if (length > n && std::strcmp(base + length - n, suffix) == 0) {
            length -= n;
            break;
        }
    }
    return strndup(base, length);
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Every output name distinct, none the factors file, none an input table.
int check_names(tables_run &r, const options &o)
{
    static struct stat inputs[MAX_TABLES];
    for (size_t c = 0; c < r.count; ++c) {
        table_in &t = r.tables[c];
        t.out_name = output_name(t.path);
        if (t.out_name == nullptr) {
            std::fputs("normalize: out of memory.\n", stderr);
            return exit_no_memory;
        }
        if (t.out_name[0] == '\0' || std::strcmp(t.out_name, ".") == 0 ||
            std::strcmp(t.out_name, "..") == 0) {
            std::fprintf(stderr, "normalize: %s gives no file name to write under.\n", t.path);
            return exit_usage;
        }
        if (std::strcmp(t.out_name, factors_name) == 0) {
            std::fprintf(stderr, "normalize: %s would be written over %s/%s.\n", t.path, o.out_dir,
                         factors_name);
            return exit_usage;
        }
        for (size_t d = 0; d < c; ++d) {
            if (std::strcmp(r.tables[d].out_name, t.out_name) == 0) {
                std::fprintf(stderr, "normalize: %s and %s would both be written to %s/%s.\n",
                             r.tables[d].path, t.path, o.out_dir, t.out_name);
                return exit_usage;
            }
        }
        if (stat(t.path, &inputs[c]) != 0)
            inputs[c].st_ino = 0;
    }
    for (size_t c = 0; c < r.count; ++c) {
        char *target = join_path(o.out_dir, r.tables[c].out_name);
        struct stat info;
        if (target != nullptr && stat(target, &info) == 0) {
            for (size_t d = 0; d < r.count; ++d) {
                if (inputs[d].st_ino != 0 && same_file(info, inputs[d])) {
                    std::fprintf(stderr, "normalize: writing %s would replace the table %s.\n",
                                 target, r.tables[d].path);
                    std::free(target);
                    return exit_usage;
                }
            }
        }
        std::free(target);
    }
    return 0;
}

// The last pass: every table out to its temporary file, divided by the
// factors.
int write_tables(tables_run &r, const double *factors)
{
    if (int status = start_tables(r))
        return status;
    for (size_t c = 0; c < r.count; ++c) {
        const lockstep_table &t = r.rows.tables[c];
        if (!t.header)
            continue;
        const uint64_t fields = vp_dsv_line_get_num_fields(t.line);
        for (uint64_t k = 0; k < fields; ++k) {
            if (k > 0)
                std::fputc('\t', streams[c]);
            std::fputs(vp_dsv_line_get_fields_ae(t.line, k), streams[c]);
        }
        std::fputc('\n', streams[c]);
    }
    char text[ABUNDANCE_TEXT_SIZE];
    for (;;) {
        bool row;
        if (int status = read_rows(r, &row))
            return status;
        if (!row)
            break;
        for (size_t c = 0; c < r.count; ++c) {
            const lockstep_table &t = r.rows.tables[c];
            FILE *out = streams[c];
            std::fputs(lockstep_id(r.rows), out);
            for (size_t j = t.offset; j < t.offset + t.columns; ++j) {
                const double v = r.rows.values[j] / factors[j];
                if (std::isinf(static_cast<float>(v))) {
                    std::fprintf(stderr,
                                 "normalize: %s:%llu: %s divided by its size factor %g is too "
                                 "large for single precision.\n",
                                 t.path, static_cast<unsigned long long>(t.line_no),
                                 vp_dsv_line_get_fields_ae(t.line, j - t.offset + 1), factors[j]);
                    return exit_data;
                }
                std::fputc('\t', out);
                std::fwrite(text, 1, static_cast<size_t>(format_abundance(v, text)), out);
            }
            std::fputc('\n', out);
            if (std::ferror(out))
                return write_error(c);
        }
    }
    close_tables(r);
    return 0;
}

int changed_tables()
{
    std::fputs("normalize: a table changed while it was being read.\n", stderr);
    return exit_io;
}

int no_factors(const tables_run &r, int status, const size_factor_state *sf, size_factor_method m)
{
    switch (status) {
    case sf_no_memory:
        std::fputs("normalize: out of memory.\n", stderr);
        return exit_no_memory;
    case sf_no_usable_rows:
        if (m == method_ratio)
            std::fputs("normalize: no gene is above 0 in every sample of every table, so the "
                       "ratio method has nothing to use (try --method upperquartile).\n",
                       stderr);
        else
            std::fputs("normalize: every gene is 0 in every sample.\n", stderr);
        return exit_data;
    case sf_zero_factor: {
        const size_t j = size_factors_failed_sample(sf);
        for (size_t c = 0; c < r.count; ++c) {
            const lockstep_table &t = r.rows.tables[c];
            if (j >= t.offset && j < t.offset + t.columns) {
                std::fprintf(stderr, "normalize: column %zu of %s has %s 0.\n", j - t.offset + 1,
                             t.path, m == method_total ? "the sum" : "the upper quartile");
                break;
            }
        }
        return exit_data;
    }
    default:
        return changed_tables();
    }
}

int compute_factors(tables_run &r, size_factor_method method, size_factor_state **result,
                    uint64_t *digest)
{
    size_factor_state *sf = nullptr;
    bool first = true;
    while (first || size_factors_need_pass(sf)) {
        if (!first) {
            close_tables(r);
            if (int status = open_tables(r))
                return status;
        }
        if (int status = start_tables(r))
            return status;
        bool row;
        if (int status = read_rows(r, &row))
            return status;
        if (first) {
            if (!row) {
                std::fputs("normalize: the tables hold no data rows.\n", stderr);
                return exit_data;
            }
            sf = size_factors_new(method, r.rows.columns, nullptr);
            if (sf == nullptr) {
                std::fputs("normalize: out of memory.\n", stderr);
                return exit_no_memory;
            }
            *result = sf;
        }
        if (int e = size_factors_begin_pass(sf))
            return no_factors(r, e, sf, method);
        while (row) {
            size_factors_add_row(sf, r.rows.values);
            if (int status = read_rows(r, &row))
                return status;
        }
        if (first)
            *digest = r.digest;
        else if (r.digest != *digest)
            return changed_tables();
        if (int e = size_factors_end_pass(sf))
            return no_factors(r, e, sf, method);
        first = false;
    }
    return 0;
}

void print_factors(FILE *to, const tables_run &r, const double *factors)
{
    char text[ABUNDANCE_TEXT_SIZE];
    std::fputs("table\tcolumn\tfactor\n", to);
    for (size_t c = 0; c < r.count; ++c) {
        const lockstep_table &t = r.rows.tables[c];
        const char *out_name = r.tables[c].out_name;
        for (size_t j = 0; j < t.columns; ++j) {
            format_double(factors[t.offset + j], text);
            // A column without a name is known by its place.
            if (j < t.names.size() && !t.names[j].empty())
                std::fprintf(to, "%s\t%s\t%s\n", out_name, t.names[j].c_str(), text);
            else
                std::fprintf(to, "%s\t%zu\t%s\n", out_name, j + 1, text);
        }
    }
}

void warn_on_spread(const tables_run &r, const double *factors)
{
    size_t sizes[MAX_TABLES];
    for (size_t c = 0; c < r.count; ++c)
        sizes[c] = r.rows.tables[c].columns;
    size_t high, low;
    const double spread = size_factor_spread(factors, sizes, r.count, &high, &low);
    if (!(spread > size_factor_spread_warning))
        return;
    const lockstep_table &h = r.rows.tables[high];
    const lockstep_table &l = r.rows.tables[low];
    std::fprintf(stderr,
                 "normalize: warning: the size factors differ between conditions: geometric "
                 "mean %.3g for %s, %.3g for %s (%.2f times, more than %.1f): the raw tables "
                 "are not comparable.\n",
                 geometric_mean(factors + h.offset, h.columns), h.path,
                 geometric_mean(factors + l.offset, l.columns), l.path, spread,
                 size_factor_spread_warning);
}

int run()
{
    // Static, as everything that lives as long as the run.
    static table_in tables[MAX_TABLES];
    static tables_run r;
    r.tables = tables;
    r.count = o.count;
    for (size_t c = 0; c < o.count; ++c)
        tables[c].path = o.tables[c];
    if (int status = open_tables(r))
        return status;
    if (int status = check_names(r, o))
        return status;
    if (int status = out_dir_open(&out, o.out_dir))
        return status;

    static size_factor_state *sf;
    uint64_t digest = 0;
    if (int status = compute_factors(r, static_cast<size_factor_method>(o.method), &sf, &digest))
        return status;
    const double *factors = size_factors_result(sf);

    close_tables(r);
    if (int status = open_tables(r))
        return status;
    std::vector<std::string> names;
    for (size_t c = 0; c < r.count; ++c)
        names.push_back(r.tables[c].out_name);
    names.push_back(factors_name);
    if (int status = out_dir_check(out, names))
        return status;
    for (size_t c = 0; c < r.count; ++c) {
        if ((streams[c] = out_dir_create(&out, names[c])) == nullptr)
            return exit_cant_create;
        std::setvbuf(streams[c], nullptr, _IOFBF, 1 << 16);
    }
    if (int status = write_tables(r, factors))
        return status;
    if (r.digest != digest)
        return changed_tables();
    if ((streams[r.count] = out_dir_create(&out, factors_name)) == nullptr)
        return exit_cant_create;
    print_factors(streams[r.count], r, factors);
    if (int status = out_dir_commit(&out))
        return status;

    warn_on_spread(r, factors);
    print_factors(stdout, r, factors);
    size_factors_free(sf);
    return cli_finish_stdout();
}

int normalize_main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s %s\n", cli_invoked(), command.synopsis);
        return exit_usage;
    }
    std::vector<const char *> operands;
    const int status = cli_parse(command, argc, argv, &operands);
    if (status >= 0)
        return status;
    if (operands.size() > MAX_TABLES)
        return cli_fail(exit_usage, "too many tables (at most %zu)", MAX_TABLES);
    for (const char *t : operands)
        o.tables[o.count++] = t;
    if (o.out_dir == nullptr)
        return cli_usage_fail("no output directory: give -o DIR");
    if (o.out_dir[0] == '\0')
        return cli_fail(exit_usage, "empty output directory name");
    if (o.count == 0)
        return cli_usage_fail("no table given");
    const int result = run();
    if (result != exit_ok)
        out_dir_abandon(&out);
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    return cli_main("normalize", argc, argv, normalize_main);
}
