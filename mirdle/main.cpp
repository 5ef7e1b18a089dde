// mirdle: compares the abundances of two or more conditions, feature by
// feature, and writes means, dispersions, fold changes and P-values.

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "broken_pipe.h"
#include "mirdle.h"
#include "suite_version.h"
#include "vp_replace.h"
#include "vp_stream.h"

// The P-value library's trace switch, set by --debug.
bool Debug = false;

namespace {

void print_usage(FILE *to, const char *prog)
{
    std::fprintf(to,
                 "Usage: %s [--debug] [--output file.txt] [--near-exact] [--threads N]\\\n"
                 "\t[--draws run|feature] [--rows FIRST-[LAST]] \\\n"
                 "\tabundances1.tsv[.gz|.bz2|.xz] abundances2.tsv[.gz|.bz2|.xz] \\\n"
                 "\t[abundances3.tsv[.gz|.bz2|.xz] ...]\n"
                 "       %s --help | --version\n",
                 prog, prog);
}

int usage(const char *prog)
{
    print_usage(stderr, prog);
    return exit_usage;
}

// The options, recognised only in front of the first table.  An option that
// takes a value is given as "--name value" or "--name=value".
enum class option_id { debug, output, near_exact, threads, draws, rows, help, version };

struct option_spec {
    const char *name;
    bool takes_value;
    option_id id;
};

constexpr option_spec option_specs[] = {
    {"--debug", false, option_id::debug},
    {"--output", true, option_id::output},
    {"--near-exact", false, option_id::near_exact},
    {"--threads", true, option_id::threads},
    {"--draws", true, option_id::draws},
    {"--rows", true, option_id::rows},
    {"--help", false, option_id::help},
    {"--version", false, option_id::version},
};

struct command_line {
    bool near_exact = false;
    unsigned threads = 1;
    run_scope scope;
    bool help = false;
    bool version = false;
    FILE *report = stdout;
    int outputs = 0;      // --output options seen
    int first_table = 0;  // index of the first table path in argv
};

// The last --output file, written under a temporary name until the run has
// decided what it keeps.
struct pending_report {
    FILE *stream = nullptr;
    vp_replacement file;
    bool pending = false;
} report_file;

// Whether the report written so far holds a complete feature row after its
// header.
bool holds_a_row(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return false;
    int newlines = 0, ch;
    while (newlines < 2 && (ch = std::getc(f)) != EOF)
        newlines += ch == '\n';
    std::fclose(f);
    return newlines >= 2;
}

// A failed run keeps the rows it wrote before its fault, as a report written
// in place would; one that failed before its first row leaves the file that
// was there before, or none.
void settle_failed_report()
{
    if (!report_file.pending)
        return;
    report_file.pending = false;
    const bool keep = std::fflush(report_file.stream) == 0 && !std::ferror(report_file.stream) &&
                      !report_file.file.temp.empty() && holds_a_row(report_file.file.temp);
    std::fclose(report_file.stream);
    if (keep)
        vp_replace_finish(&report_file.file);
    else
        vp_replace_discard(&report_file.file);
}

constexpr unsigned max_threads = 1024;

// Every CPU this process may run on.
unsigned usable_cpus()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return static_cast<unsigned>(n);
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

// A thread count: decimal digits only, 0 for every usable CPU.
bool read_threads(const char *text, unsigned &threads)
{
    if (*text == '\0' || std::strlen(text) > 4)
        return false;
    unsigned n = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        n = n * 10 + static_cast<unsigned>(*p - '0');
    }
    if (n > max_threads)
        return false;
    threads = n == 0 ? std::min(usable_cpus(), max_threads) : n;
    return true;
}

// A positive whole number of decimal digits, ending at *end.
bool read_row_number(const char *text, const char *&end, unsigned long long &n)
{
    n = 0;
    for (end = text; *end >= '0' && *end <= '9'; ++end) {
        if (n > (~0ULL - 9) / 10)
            return false;
        n = n * 10 + static_cast<unsigned long long>(*end - '0');
    }
    return end != text && n > 0;
}

// FIRST-LAST or FIRST- (to the end), 1 <= FIRST <= LAST.
bool read_rows(const char *text, run_scope &scope)
{
    const char *end;
    if (!read_row_number(text, end, scope.first_row) || *end != '-')
        return false;
    if (end[1] == '\0') {
        scope.last_row = ~0ULL;
        return true;
    }
    return read_row_number(end + 1, end, scope.last_row) && *end == '\0' &&
           scope.last_row >= scope.first_row;
}

const option_spec *find_option(const char *arg, size_t name_len)
{
    for (const option_spec &o : option_specs)
        if (std::strlen(o.name) == name_len && std::strncmp(o.name, arg, name_len) == 0)
            return &o;
    return nullptr;
}

// Reads the options: returns 0, or the exit status after writing the
// message.  A lone "-" is a table (standard input); "--" ends the options, so
// that a table name may begin with "-".  The first pass only checks them, so a
// misspelt option creates no file; the second (create_outputs) creates every
// --output file in order, the last one taking the report.
int parse_options(int argc, char **argv, command_line &cl, bool create_outputs)
{
    const int outputs_seen = cl.outputs;
    cl.outputs = 0;
    const char *prog = argv[0];
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-' && argv[arg][1] != '\0'; ++arg) {
        const char *text = argv[arg];
        if (std::strcmp(text, "--") == 0) {
            ++arg;
            break;
        }
        const char *equals = std::strchr(text, '=');
        const size_t name_len = equals ? static_cast<size_t>(equals - text) : std::strlen(text);
        const option_spec *o = find_option(text, name_len);
        if (o == nullptr || (equals && !o->takes_value)) {
            std::fprintf(stderr, "mirdle: Unknown option %s.\n", text);
            return usage(prog);
        }
        const char *value = nullptr;
        if (o->takes_value) {
            if (equals) {
                value = equals + 1;
            } else if (arg + 1 < argc) {
                value = argv[++arg];
            } else {
                std::fprintf(stderr, "mirdle: Option %s needs a value.\n", o->name);
                return usage(prog);
            }
        }
        switch (o->id) {
        case option_id::debug:
            Debug = true;
            break;
        case option_id::output:
            ++cl.outputs;
            if (create_outputs) {
                // Only the last one takes the report; the earlier ones are
                // created empty.
                const bool last = cl.outputs == outputs_seen;
                FILE *f = last ? vp_replace_open(value, &report_file.file) : std::fopen(value, "w");
                if (f == nullptr) {
                    std::fprintf(stderr, "mirdle: Could not open %s for write: %s.\n", value,
                                 std::strerror(errno));
                    return exit_cant_create;
                }
                cl.report = f;
                if (last) {
                    report_file.stream = f;
                    report_file.pending = true;
                }
            }
            break;
        case option_id::near_exact:
            cl.near_exact = true;
            break;
        case option_id::threads:
            if (!read_threads(value, cl.threads)) {
                std::fprintf(stderr,
                             "mirdle: --threads takes a whole number from 0 to %u (0: every CPU), "
                             "not %s.\n",
                             max_threads, value);
                return usage(prog);
            }
            break;
        case option_id::draws:
            if (std::strcmp(value, "run") == 0) {
                cl.scope.draws = draw_source::run;
            } else if (std::strcmp(value, "feature") == 0) {
                cl.scope.draws = draw_source::feature;
            } else {
                std::fprintf(stderr, "mirdle: --draws takes run or feature, not %s.\n", value);
                return usage(prog);
            }
            break;
        case option_id::rows:
            if (!read_rows(value, cl.scope)) {
                std::fprintf(stderr,
                             "mirdle: --rows takes FIRST-LAST or FIRST- (rows from 1), not %s.\n",
                             value);
                return usage(prog);
            }
            break;
        case option_id::help:
            cl.help = true;
            return 0;
        case option_id::version:
            cl.version = true;
            return 0;
        }
    }
    cl.first_table = arg;
    return 0;
}

// --help and --version write to standard output; a failed write is reported
// like a failed report.
int print_to_stdout_status()
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return exit_ok;
    const int err = errno ? errno : EIO;
    end_if_broken_pipe(err);
    std::fprintf(stderr, "mirdle: Could not write to standard output: %s.\n", std::strerror(err));
    return exit_io;
}

bool is_stdin(const char *path)
{
    return std::strcmp(path, "-") == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    take_default_sigpipe();
    if (argc < 1)
        return usage("mirdle");
    const char *prog = argv[0];

    command_line cl;
    if (int status = parse_options(argc, argv, cl, false))
        return status;
    if (cl.help) {
        print_usage(stdout, prog);
        return print_to_stdout_status();
    }
    if (cl.version) {
        std::printf("%s %s\n", prog, SUITE_VERSION);
        return print_to_stdout_status();
    }
    if (argc < 3)
        return usage(prog);

    const int conditions = argc - cl.first_table;
    if (conditions > MAX_CONDITIONS) {
        std::fprintf(stderr, "mirdle: Too many conditions: %d (at most %d).\n", conditions,
                     MAX_CONDITIONS);
        return exit_usage;
    }
    const char *const *paths = argv + cl.first_table;
    int stdin_tables = 0;
    for (int c = 0; c < conditions; ++c)
        stdin_tables += is_stdin(paths[c]);
    if (stdin_tables > 1) {
        std::fputs("mirdle: Only one table can be read from standard input (-).\n", stderr);
        return exit_usage;
    }

    // Also when the run ends from inside a row, at the near-exact limit.
    std::atexit(settle_failed_report);
    if (int status = parse_options(argc, argv, cl, true))
        return status;

    static FILE *streams[MAX_CONDITIONS];
    for (int c = 0; c < conditions; ++c) {
        streams[c] = is_stdin(paths[c]) ? stdin : vp_fopen(paths[c], "r");
        if (streams[c] == nullptr) {
            std::fprintf(stderr, ": Could not open %s for read: %s.\n", paths[c],
                         std::strerror(errno));
            return exit_no_input;
        }
    }
    const int status =
        compare_abundances(streams, paths, conditions, cl.report, cl.near_exact, cl.threads, cl.scope);
    if (!report_file.pending)
        return status;
    if (status == exit_io) {
        // The report could not be written whole: what stood there before is
        // worth more than a truncated copy.
        report_file.pending = false;
        vp_replace_discard(&report_file.file);
        return status;
    }
    if (status != exit_ok) {
        settle_failed_report();
        return status;
    }
    report_file.pending = false;  // closed by compare_abundances
    if (int err = vp_replace_finish(&report_file.file))
        return report_write_error(err);
    return exit_ok;
}
