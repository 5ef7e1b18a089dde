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

#include "broken_pipe.h"
#include "abundance_text.h"
#include "normalize.h"
#include "size_factors.h"
#include "suite_version.h"

namespace {

constexpr char factors_name[] = "size_factors.tsv";

struct options {
    size_factor_method method = method_ratio;
    const char *out_dir = nullptr;
    const char *tables[MAX_TABLES];
    size_t count = 0;
};

// One file written under the output directory: first under a hidden
// temporary name, renamed when everything has been written.
struct output_file {
    char *temp_path;
    char *final_path;
    FILE *stream;
};

output_file outputs[MAX_TABLES + 1];
size_t output_count;

void print_usage(FILE *to, const char *prog)
{
    std::fprintf(to, "Usage: %s [--method ratio|upperquartile|total] -o DIR TABLE...\n", prog);
}

int usage_error(const char *prog)
{
    print_usage(stderr, prog);
    return exit_usage;
}

int print_help(const char *prog)
{
    print_usage(stdout, prog);
    std::fputs("Divides every abundance of the condition tables by its sample's size factor,\n"
               "computed over all tables together, and writes each table under its own name\n"
               "(without .gz, .bz2 or .xz) into DIR, with the factors in DIR/size_factors.tsv.\n"
               "\n"
               "  -o, --output DIR   the output directory, created if missing\n"
               "  --method METHOD    ratio: median of ratios to each gene's geometric mean\n"
               "                     (the default); upperquartile: each sample's 75th\n"
               "                     percentile; total: each sample's sum\n"
               "  --help             this text\n"
               "  --version          the version\n"
               "\n"
               "The factors are printed on standard output; see dranvel-normalize(1).\n",
               stdout);
    return exit_ok;
}

int usage_message(const char *text, const char *arg)
{
    std::fprintf(stderr, "normalize: %s%s.\n", text, arg);
    return exit_usage;
}

int finish_stdout(const char *what)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        end_if_broken_pipe(errno);
        std::fprintf(stderr, "normalize: cannot write %s: %s.\n", what,
                     std::strerror(errno ? errno : EIO));
        return exit_io;
    }
    return exit_ok;
}

// 0 with *done false to go on, or an exit status with *done true.
int parse_options(int argc, char **argv, options &o, bool *done)
{
    const char *prog = argv[0] ? argv[0] : "normalize";
    *done = true;
    if (argc < 2)
        return usage_error(prog);
    bool only_tables = false;
    for (int a = 1; a < argc; ++a) {
        const char *arg = argv[a];
        if (only_tables || arg[0] != '-' || arg[1] == '\0') {
            if (o.count == MAX_TABLES) {
                std::fprintf(stderr, "normalize: too many tables (at most %zu).\n", MAX_TABLES);
                return exit_usage;
            }
            o.tables[o.count++] = arg;
            continue;
        }
        const char *value = nullptr;
        bool is_output = false;
        if (std::strcmp(arg, "--") == 0) {
            only_tables = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            print_help(prog);
            return finish_stdout("the help text");
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("normalize (dranvel) %s\n", SUITE_VERSION);
            return finish_stdout("the version");
        } else if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0 ||
                   std::strcmp(arg, "--method") == 0) {
            if (a + 1 >= argc)
                return usage_message("missing argument of ", arg);
            is_output = std::strcmp(arg, "--method") != 0;
            value = argv[++a];
        } else if (std::strncmp(arg, "--output=", 9) == 0) {
            is_output = true;
            value = arg + 9;
        } else if (std::strncmp(arg, "--method=", 9) == 0) {
            value = arg + 9;
        } else {
            std::fprintf(stderr, "normalize: unknown option %s (see %s --help).\n", arg, prog);
            return exit_usage;
        }
        if (value == nullptr)
            continue;
        if (is_output) {
            if (value[0] == '\0')
                return usage_message("empty output directory name", "");
            o.out_dir = value;
        } else if (!size_factor_method_from_name(value, &o.method)) {
            std::fprintf(stderr,
                         "normalize: unknown method '%s' (ratio, upperquartile or total).\n",
                         value);
            return exit_usage;
        }
    }
    if (o.out_dir == nullptr)
        return usage_message("no output directory: give -o DIR", "");
    if (o.count == 0)
        return usage_message("no table given", "");
    *done = false;
    return 0;
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

// The directory this run made, removed again (when still empty) if the run
// fails, so that a failed run creates nothing.
const char *made_dir = nullptr;

int make_out_dir(const char *dir)
{
    struct stat info;
    if (stat(dir, &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return 0;
        errno = ENOTDIR;
    } else if (errno == ENOENT && mkdir(dir, 0777) == 0) {
        made_dir = dir;
        return 0;
    }
    std::fprintf(stderr, "normalize: cannot create the directory %s: %s.\n", dir,
                 std::strerror(errno));
    return exit_cant_create;
}

int create_output(const char *dir, const char *name)
{
    output_file &f = outputs[output_count];
    f.final_path = join_path(dir, name);
    const size_t size = std::strlen(dir) + std::strlen(name) + 16;
    f.temp_path = static_cast<char *>(std::malloc(size));
    if (f.final_path == nullptr || f.temp_path == nullptr) {
        std::fputs("normalize: out of memory.\n", stderr);
        return exit_no_memory;
    }
    std::snprintf(f.temp_path, size, "%s/.%s.XXXXXX", dir, name);
    const int fd = mkstemp(f.temp_path);
    if (fd < 0) {
        std::fprintf(stderr, "normalize: cannot create %s: %s.\n", f.final_path,
                     std::strerror(errno));
        return exit_cant_create;
    }
    ++output_count;
    // mkstemp makes the file private; the result gets the usual mode.
    static const mode_t mask = [] {
        const mode_t m = umask(0);
        umask(m);
        return m;
    }();
    if (fchmod(fd, 0666 & ~mask) != 0) {
        std::fprintf(stderr, "normalize: cannot create %s: %s.\n", f.final_path,
                     std::strerror(errno));
        close(fd);
        return exit_cant_create;
    }
    f.stream = fdopen(fd, "w");
    if (f.stream == nullptr) {
        std::fprintf(stderr, "normalize: cannot create %s: %s.\n", f.final_path,
                     std::strerror(errno));
        close(fd);
        return exit_cant_create;
    }
    return 0;
}

int write_error(const output_file &f)
{
    std::fprintf(stderr, "normalize: cannot write %s: %s.\n", f.final_path,
                 std::strerror(errno ? errno : EIO));
    return exit_io;
}

int close_output(output_file &f)
{
    errno = 0;
    const bool failed = std::ferror(f.stream) != 0;
    const int closed = std::fclose(f.stream);
    f.stream = nullptr;
    if (failed || closed != 0)
        return write_error(f);
    return 0;
}

void remove_outputs()
{
    for (size_t k = 0; k < output_count; ++k) {
        if (outputs[k].stream != nullptr)
            std::fclose(outputs[k].stream);
        outputs[k].stream = nullptr;
        unlink(outputs[k].temp_path);
    }
    output_count = 0;
    if (made_dir != nullptr)
        rmdir(made_dir);
}

// Every output can take its name: checked before the first rename, so that a
// directory in the way of a later one does not leave earlier ones replaced.
int check_final_paths()
{
    for (size_t k = 0; k < output_count; ++k) {
        struct stat info;
        if (stat(outputs[k].final_path, &info) == 0 && S_ISDIR(info.st_mode)) {
            std::fprintf(stderr, "normalize: cannot create %s: %s.\n", outputs[k].final_path,
                         std::strerror(EISDIR));
            return exit_cant_create;
        }
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
        const table_in &t = r.tables[c];
        if (!t.header)
            continue;
        const uint64_t fields = vp_dsv_line_get_num_fields(t.line);
        for (uint64_t k = 0; k < fields; ++k) {
            if (k > 0)
                std::fputc('\t', outputs[c].stream);
            std::fputs(vp_dsv_line_get_fields_ae(t.line, k), outputs[c].stream);
        }
        std::fputc('\n', outputs[c].stream);
    }
    char text[ABUNDANCE_TEXT_SIZE];
    for (;;) {
        bool row;
        if (int status = read_rows(r, &row))
            return status;
        if (!row)
            break;
        for (size_t c = 0; c < r.count; ++c) {
            const table_in &t = r.tables[c];
            FILE *out = outputs[c].stream;
            std::fputs(row_id(r), out);
            for (size_t j = t.offset; j < t.offset + t.columns; ++j) {
                const double v = r.values[j] / factors[j];
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
                return write_error(outputs[c]);
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
            const table_in &t = r.tables[c];
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
            r.columns_known = true;
            sf = size_factors_new(method, r.columns, nullptr);
            if (sf == nullptr) {
                std::fputs("normalize: out of memory.\n", stderr);
                return exit_no_memory;
            }
            *result = sf;
        }
        if (int e = size_factors_begin_pass(sf))
            return no_factors(r, e, sf, method);
        while (row) {
            size_factors_add_row(sf, r.values);
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
        const table_in &t = r.tables[c];
        for (size_t j = 0; j < t.columns; ++j) {
            format_double(factors[t.offset + j], text);
            if (j < t.name_count && t.names[j])
                std::fprintf(to, "%s\t%s\t%s\n", t.out_name, t.names[j], text);
            else
                std::fprintf(to, "%s\t%zu\t%s\n", t.out_name, j + 1, text);
        }
    }
}

void warn_on_spread(const tables_run &r, const double *factors)
{
    size_t sizes[MAX_TABLES];
    for (size_t c = 0; c < r.count; ++c)
        sizes[c] = r.tables[c].columns;
    size_t high, low;
    const double spread = size_factor_spread(factors, sizes, r.count, &high, &low);
    if (!(spread > size_factor_spread_warning))
        return;
    const table_in &h = r.tables[high];
    const table_in &l = r.tables[low];
    std::fprintf(stderr,
                 "normalize: warning: the size factors differ between conditions: geometric "
                 "mean %.3g for %s, %.3g for %s (%.2f times, more than %.1f): the raw tables "
                 "are not comparable.\n",
                 geometric_mean(factors + h.offset, h.columns), h.path,
                 geometric_mean(factors + l.offset, l.columns), l.path, spread,
                 size_factor_spread_warning);
}

int run(const options &o)
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
    if (int status = make_out_dir(o.out_dir))
        return status;

    static size_factor_state *sf;
    uint64_t digest = 0;
    if (int status = compute_factors(r, o.method, &sf, &digest))
        return status;
    const double *factors = size_factors_result(sf);

    close_tables(r);
    if (int status = open_tables(r))
        return status;
    for (size_t c = 0; c < r.count; ++c) {
        if (int status = create_output(o.out_dir, r.tables[c].out_name))
            return status;
        std::setvbuf(outputs[c].stream, nullptr, _IOFBF, 1 << 16);
    }
    if (int status = write_tables(r, factors))
        return status;
    if (r.digest != digest)
        return changed_tables();
    if (int status = create_output(o.out_dir, factors_name))
        return status;
    print_factors(outputs[r.count].stream, r, factors);
    for (size_t k = 0; k < output_count; ++k) {
        if (int status = close_output(outputs[k]))
            return status;
    }
    if (int status = check_final_paths())
        return status;
    for (size_t k = 0; k < output_count; ++k) {
        if (std::rename(outputs[k].temp_path, outputs[k].final_path) != 0) {
            std::fprintf(stderr, "normalize: cannot create %s: %s.\n", outputs[k].final_path,
                         std::strerror(errno));
            return exit_cant_create;
        }
    }
    output_count = 0;

    warn_on_spread(r, factors);
    print_factors(stdout, r, factors);
    size_factors_free(sf);
    return finish_stdout("the size factors");
}

}  // namespace

int main(int argc, char **argv)
{
    take_default_sigpipe();
    static options o;
    bool done;
    const int status = parse_options(argc, argv, o, &done);
    if (done)
        return status;
    const int result = run(o);
    if (result != 0)
        remove_outputs();
    return result;
}
