// table: mirdle's report as a tab-separated table with named columns and
// Benjamini-Hochberg adjusted P-values, for R, Python and spreadsheets.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "broken_pipe.h"
#include "cli.h"
#include "conditions.h"
#include "report_reader.h"
#include "study.h"
#include "vp_replace.h"

namespace {

struct options {
    name_options names;
    const char *report_path = nullptr;
    const char *output_path = nullptr;
    const char *sort_pair = nullptr;
    double max_padj = NAN;
    double min_count = 0.0;
};

options o;

const cli_option option_table[] = {
    {"--names", 0, cli_kind::list, &o.names.names, "A,B,...",
     "condition names, in the order of mirdle's tables"},
    {"--tables", 0, cli_kind::list, &o.names.tables, "T1,T2,...",
     "mirdle's table files: means, SD/C and fold changes at full\n"
     "precision from them, names from their file names (without\n"
     "directory and .tsv, .txt, .tab, .gz, .bz2, .xz endings)"},
    {"--sort", 0, cli_kind::string, &o.sort_pair, "PAIR",
     "order rows by that pair's P-value (ties in report order,\nNA last)"},
    {"--max-padj", 0, cli_kind::real, &o.max_padj, "X",
     "keep rows whose adjusted P-value is at most X: of the --sort\n"
     "pair, of the only pair, or else of any pair",
     0.0, 1.0},
    {"--min-count", 0, cli_kind::real, &o.min_count, "X",
     "adjust over the features whose abundances over a pair's\n"
     "samples sum to at least X (needs --tables; default 0)",
     0.0, HUGE_VAL},
    {"--output", 'o', cli_kind::string, &o.output_path, "FILE",
     "write to FILE instead of standard output"},
};

const cli_command command = {
    "[options] REPORT",
    "Writes mirdle's REPORT (\"-\" for standard input) as a tab-separated table:\n"
    "feature, mean_<name> and sd_over_mean_<name> per condition, then fc_<b>_vs_<a>\n"
    "(mean of b over mean of a), log2fc_<b>_vs_<a>, pvalue_<b>_vs_<a> and\n"
    "padj_<b>_vs_<a> (Benjamini-Hochberg) per pair of conditions.  Missing values\n"
    "are NA, infinite ones Inf and -Inf.\n",
    option_table,
    std::size(option_table),
    "PAIR is a-b with the report's condition numbers (as 1-2) or <b>_vs_<a> with\n"
    "condition names, either way round.  Without names the conditions are c1, c2, ...\n",
};

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

int write_output( const report &r, const study &s,
                 const std::vector<std::string> &names, const std::vector<size_t> &order)
{
    if (o.output_path == nullptr) {
        write_table(stdout, r, s, names, order);
        return cli_finish_stdout();
    }
    vp_replacement file;
    FILE *out = vp_replace_open(o.output_path, &file);
    if (out == nullptr)
        return cli_errno_fail(exit_cant_create, errno, "cannot create %s", o.output_path);
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
        return cli_errno_fail(exit_io, err, "cannot write %s", o.output_path);
    }
    return exit_ok;
}

int run()
{
    const char *program = cli_name();
    report r;
    int status = read_report_file(o.report_path, &r);
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
    return write_output(r, s, names, order);
}

int table_main(int argc, char **argv)
{
    std::vector<const char *> operands;
    const int status = cli_parse(command, argc, argv, &operands);
    if (status >= 0)
        return status;
    if (operands.size() != 1)
        return cli_usage_fail("expected one REPORT, got %zu arguments", operands.size());
    o.report_path = operands[0];
    return run();
}

}  // namespace

int main(int argc, char **argv)
{
    return cli_main("table", argc, argv, table_main);
}
