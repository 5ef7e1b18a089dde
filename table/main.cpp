// table: mirdle's report as a tab-separated table with named columns and
// Benjamini-Hochberg adjusted P-values, for R, Python and spreadsheets.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "broken_pipe.h"
#include "report.h"
#include "study.h"
#include "subcmd.h"
#include "vp_replace.h"
#include "vp_stream.h"

namespace {

const char *const program = "table";

void usage(FILE *to, const char *invoked)
{
    std::fprintf(
        to,
        "Usage: %s [options] REPORT\n"
        "Writes mirdle's REPORT (\"-\" for standard input) as a tab-separated table:\n"
        "feature, mean_<name> and sd_over_mean_<name> per condition, then fc_<b>_vs_<a>\n"
        "(mean of b over mean of a), log2fc_<b>_vs_<a>, pvalue_<b>_vs_<a> and\n"
        "padj_<b>_vs_<a> (Benjamini-Hochberg) per pair of conditions.  Missing values\n"
        "are NA, infinite ones Inf and -Inf.\n"
        "\n"
        "Options:\n"
        "  --names A,B,...      condition names, in the order of mirdle's tables\n"
        "  --tables T1,T2,...   mirdle's table files: means, SD/C and fold changes at full\n"
        "                       precision from them, names from their file names (without\n"
        "                       directory and .tsv, .txt, .tab, .gz, .bz2, .xz endings)\n"
        "  --min-count X        adjust over the features whose abundances over a pair's\n"
        "                       samples sum to at least X (needs --tables; default 0)\n"
        "  --sort PAIR          order rows by that pair's P-value (ties in report order,\n"
        "                       NA last)\n"
        "  --max-padj X         keep rows whose adjusted P-value is at most X: of the --sort\n"
        "                       pair, of the only pair, or else of any pair\n"
        "  -o, --output FILE    write to FILE instead of standard output\n"
        "  --help               this text\n"
        "  --version            the version\n"
        "PAIR is a-b with the report's condition numbers (as 1-2) or <b>_vs_<a> with\n"
        "condition names.  Without names the conditions are c1, c2, ...\n",
        invoked);
}

struct options {
    name_options names;
    const char *report_path = nullptr;
    const char *output_path = nullptr;
    const char *sort_pair = nullptr;
    double max_padj = NAN;
    double min_count = 0.0;
};

// Returns -1 to go on, or the exit status.
int parse_command_line(int argc, char **argv, options *o)
{
    const char *invoked = argv[0] ? argv[0] : program;
    bool operands_only = false;
    int operands = 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = nullptr;
        option_match m = option_no;
        if (operands_only || !is_option(arg)) {
            if (operands++ == 0)
                o->report_path = arg;
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            operands_only = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            usage(stdout, invoked);
            return finish_stdout(program);
        } else if (std::strcmp(arg, "--version") == 0) {
            return print_version(program, invoked);
        } else if ((m = match_option(program, argc, argv, &i, "--names", &value)) != option_no) {
            if (m == option_missing || !add_list_items(program, "--names", value, &o->names.names))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--tables", &value)) != option_no) {
            if (m == option_missing ||
                !add_list_items(program, "--tables", value, &o->names.tables))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--sort", &value)) != option_no) {
            if (m == option_missing)
                return exit_usage;
            o->sort_pair = value;
        } else if ((m = match_option(program, argc, argv, &i, "--max-padj", &value)) !=
                   option_no) {
            if (m == option_missing ||
                !parse_real_option(program, "--max-padj", value, 0.0, 1.0, &o->max_padj))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--min-count", &value)) !=
                   option_no) {
            if (m == option_missing ||
                !parse_real_option(program, "--min-count", value, 0.0, HUGE_VAL, &o->min_count))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--output", &value)) != option_no ||
                   (m = match_option(program, argc, argv, &i, "-o", &value)) != option_no) {
            if (m == option_missing)
                return exit_usage;
            o->output_path = value;
        } else {
            return unknown_option(program, invoked, arg);
        }
    }
    if (operands != 1) {
        std::fprintf(stderr, "%s: expected one REPORT, got %d arguments (see %s --help)\n",
                     program, operands, invoked);
        return exit_usage;
    }
    return -1;
}

// A feature id as one field: quoted only when it holds a double quote, which
// R and Python would otherwise take for the start of a quoted field.
void write_feature(FILE *out, const std::string &id)
{
    if (id.find('"') == std::string::npos) {
        std::fputs(id.c_str(), out);
        return;
    }
    std::fputc('"', out);
    for (char ch : id) {
        if (ch == '"')
            std::fputc('"', out);
        std::fputc(ch, out);
    }
    std::fputc('"', out);
}

void write_table(FILE *out, const report &r, const study &s,
                 const std::vector<std::string> &names, const std::vector<size_t> &order)
{
    const int n = r.conditions;
    const size_t un = static_cast<size_t>(n);
    std::fputs("feature", out);
    for (int c = 0; c < n; ++c)
        std::fprintf(out, "\tmean_%s\tsd_over_mean_%s", names[c].c_str(), names[c].c_str());
    for (size_t pair = 0; pair < r.pairs; ++pair) {
        int a, b;
        pair_members(n, pair, &a, &b);
        const std::string vs = names[b] + "_vs_" + names[a];
        std::fprintf(out, "\tfc_%s\tlog2fc_%s\tpvalue_%s\tpadj_%s", vs.c_str(), vs.c_str(),
                     vs.c_str(), vs.c_str());
    }
    std::fputc('\n', out);
    for (size_t row : order) {
        write_feature(out, r.ids[row]);
        for (size_t c = 0; c < un; ++c)
            std::fprintf(out, "\t%s\t%s", shortest_number(s.mean[row * un + c]).c_str(),
                         shortest_number(s.sd_over_mean[row * un + c]).c_str());
        for (size_t pair = 0; pair < r.pairs; ++pair) {
            const size_t at = study_at(s, row, pair);
            std::fprintf(out, "\t%s\t%s\t%s\t%s", shortest_number(s.fc[at]).c_str(),
                         shortest_number(s.log2fc[at]).c_str(),
                         shortest_number(s.pvalue[at]).c_str(),
                         shortest_number(s.padj[at]).c_str());
        }
        std::fputc('\n', out);
    }
}

int write_output(const options &o, const report &r, const study &s,
                 const std::vector<std::string> &names, const std::vector<size_t> &order)
{
    if (o.output_path == nullptr) {
        write_table(stdout, r, s, names, order);
        return finish_stdout(program);
    }
    vp_replacement file;
    FILE *out = vp_replace_open(o.output_path, &file);
    if (out == nullptr) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program, o.output_path,
                     std::strerror(errno));
        return exit_cant_create;
    }
    errno = 0;
    write_table(out, r, s, names, order);
    int err = 0;
    if (std::ferror(out) | std::fclose(out))
        err = errno ? errno : EIO;
    if (err == 0)
        err = vp_replace_finish(&file);
    else
        vp_replace_discard(&file);
    if (err != 0) {
        end_if_broken_pipe(err);
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program, o.output_path,
                     std::strerror(err));
        return exit_io;
    }
    return exit_ok;
}

int run(const options &o)
{
    const bool from_stdin = std::strcmp(o.report_path, "-") == 0;
    const char *shown = from_stdin ? "standard input" : o.report_path;
    FILE *in = from_stdin ? stdin : vp_fopen(o.report_path, "r");
    if (in == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", program, o.report_path,
                     std::strerror(errno));
        return exit_no_input;
    }
    report r;
    int status = read_report(in, shown, program, &r);
    if (!from_stdin)
        vp_fclose(in);
    if (status != exit_ok)
        return status;

    std::vector<std::string> names;
    status = settle_names(program, o.names, r.conditions, &names);
    if (status != exit_ok)
        return status;
    long sort_pair = -1;
    if (o.sort_pair != nullptr && (sort_pair = find_pair(program, "--sort", o.sort_pair, names)) < 0)
        return exit_usage;

    study s;
    study_options so;
    so.tables = o.names.tables;
    so.min_count = o.min_count;
    if ((status = load_study(program, r, so, &s)) != exit_ok)
        return status;

    std::vector<size_t> order;
    for (size_t row = 0; row < r.rows; ++row) {
        if (!std::isnan(o.max_padj)) {
            bool keep = false;
            for (size_t pair = 0; pair < r.pairs; ++pair) {
                const bool chosen =
                    sort_pair >= 0 ? pair == static_cast<size_t>(sort_pair) : true;
                if (chosen && s.padj[study_at(s, row, pair)] <= o.max_padj)
                    keep = true;
            }
            if (!keep)
                continue;
        }
        order.push_back(row);
    }
    if (sort_pair >= 0) {
        const size_t pair = static_cast<size_t>(sort_pair);
        std::stable_sort(order.begin(), order.end(), [&s, pair](size_t x, size_t y) {
            const double px = s.pvalue[study_at(s, x, pair)];
            const double py = s.pvalue[study_at(s, y, pair)];
            if (std::isnan(py))
                return !std::isnan(px);
            return px < py;
        });
    }
    return write_output(o, r, s, names, order);
}

}  // namespace

int main(int argc, char **argv)
{
    take_default_sigpipe();
    try {
        options o;
        const int status = parse_command_line(argc, argv, &o);
        if (status >= 0)
            return status;
        return run(o);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", program);
        return exit_no_memory;
    }
}
