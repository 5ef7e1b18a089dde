// mirdle: compares the abundances of two or more conditions, feature by
// feature, and writes means, dispersions, fold changes and P-values.

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "cli.h"
#include "mirdle.h"
#include "vp_replace.h"
#include "vp_stream.h"

// The P-value library's trace switch, set by --debug.
bool Debug = false;

namespace {

// The usage text of a command line without two tables.
void print_usage(FILE *to, const char *prog)
{
    std::fprintf(to,
                 "Usage: %s [--output file.txt] [--near-exact]\\\n"
                 "\tabundances1.tsv[.gz|.bz2|.xz] abundances2.tsv[.gz|.bz2|.xz] \\\n"
                 "\t[abundances3.tsv[.gz|.bz2|.xz] ...]\n",
                 prog);
}

struct command_line {
    bool near_exact = false;
    unsigned threads = 1;
    run_scope scope;
    const char *threads_text = nullptr;
    const char *rows_text = nullptr;
    int draws = 0;
    std::vector<std::string> outputs;
    FILE *report = stdout;
} cl;

const char *const draw_names[] = {"run", "feature", nullptr};

const cli_option option_table[] = {
    {"--output", 0, cli_kind::each, &cl.outputs, "FILE",
     "write the report to FILE (plain text), renamed into\n"
     "place at the end; a run that fails before its first\n"
     "row leaves FILE as it was"},
    {"--near-exact", 0, cli_kind::flag, &cl.near_exact, nullptr,
     "every P-value by the near-exact method (at most 12\nreplicates)"},
    {"--threads", 0, cli_kind::string, &cl.threads_text, "N",
     "compute on N threads (0: every CPU; default 1); the\nreport is the same"},
    {"--draws", 0, cli_kind::choice, &cl.draws, "D",
     "run: sampled P-values from the run's one random\n"
     "sequence (default); feature: each from a stream\n"
     "seeded by its own counts",
     0, 0, draw_names},
    {"--rows", 0, cli_kind::string, &cl.rows_text, "FIRST-[LAST]",
     "report only feature rows FIRST to LAST (from 1), the\nheader with row 1"},
    {"--debug", 0, cli_kind::flag, &Debug, nullptr,
     "write the P-value library's trace to standard output"},
};

const cli_command command = {
    "[options] abundances1.tsv[.gz|.bz2|.xz] abundances2.tsv[.gz|.bz2|.xz] ...",
    "Compares the abundance tables of two or more conditions feature by feature:\n"
    "per condition the mean (MNC) and SD/mean (SD/C), per pair of conditions the\n"
    "fold change (ratio of the sums), its log2 and a P-value.  Options come before\n"
    "the first table; \"-\" reads a table from standard input.\n",
    option_table,
    std::size(option_table),
    nullptr,
    true,
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

int mirdle_main(int argc, char **argv)
{
    cl = command_line{};
    const char *prog = argc > 0 ? argv[0] : "mirdle";
    // Without two arguments only --help and --version are options; anything
    // else gets the usage text, before any option is looked at.
    if (argc < 3 && !(argc == 2 && (std::strcmp(argv[1], "--help") == 0 ||
                                    std::strcmp(argv[1], "--version") == 0))) {
        print_usage(stderr, prog);
        return exit_usage;
    }
    std::vector<const char *> tables;
    if (int status = cli_parse(command, argc, argv, &tables); status >= 0)
        return status;
    if (cl.threads_text != nullptr && !read_threads(cl.threads_text, cl.threads))
        return cli_fail(exit_usage, "--threads %s: give a whole number from 0 to %u (0: every CPU)",
                        cl.threads_text, max_threads);
    if (cl.rows_text != nullptr && !read_rows(cl.rows_text, cl.scope))
        return cli_fail(exit_usage, "--rows %s: give FIRST-LAST or FIRST- (rows from 1)",
                        cl.rows_text);
    cl.scope.draws = cl.draws == 0 ? draw_source::run : draw_source::feature;

    const int conditions = static_cast<int>(tables.size());
    if (conditions > MAX_CONDITIONS)
        return cli_fail(exit_usage, "too many conditions: %d (at most %d)", conditions,
                        MAX_CONDITIONS);
    const char *const *paths = tables.data();
    int stdin_tables = 0;
    for (int c = 0; c < conditions; ++c)
        stdin_tables += cli_is_stdin(paths[c]);
    if (stdin_tables > 1)
        return cli_fail(exit_usage, "only one table can be read from standard input (-)");

    // Every --output in order: only the last one takes the report, the
    // earlier ones are created empty.  The exit handler settles the last one
    // also when the run ends from inside a row, at the near-exact limit.
    std::atexit(settle_failed_report);
    for (size_t k = 0; k < cl.outputs.size(); ++k) {
        const char *path = cl.outputs[k].c_str();
        const bool last = k + 1 == cl.outputs.size();
        FILE *f = last ? vp_replace_open(path, &report_file.file) : std::fopen(path, "w");
        if (f == nullptr) {
            std::fprintf(stderr, "mirdle: Could not open %s for write: %s.\n", path,
                         std::strerror(errno));
            return exit_cant_create;
        }
        cl.report = f;
        if (last) {
            report_file.stream = f;
            report_file.pending = true;
        }
    }

    static FILE *streams[MAX_CONDITIONS];
    for (int c = 0; c < conditions; ++c) {
        streams[c] = cli_is_stdin(paths[c]) ? stdin : vp_fopen(paths[c], "r");
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

}  // namespace

int main(int argc, char **argv)
{
    return cli_main("mirdle", argc, argv, mirdle_main);
}
