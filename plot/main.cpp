// plot: the MA and the volcano plot of one pair of conditions of a mirdle
// report, as PNG, SVG or PDF.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <strings.h>
#include <utility>

#include "cli.h"
#include "conditions.h"
#include "plot.h"
#include "report_reader.h"
#include "study.h"

namespace {

struct options {
    plot_request request;
    name_options names;
    const char *report_path = nullptr;
    const char *pair = nullptr;
    long width = 0, height = 560, labels = 0, dpi = 0;
    int kind = 2;
    double min_count = 0;
};

options o;

const char *const kinds[] = {"ma", "volcano", "both", nullptr};
constexpr plot_kind kind_of[] = {kind_ma, kind_volcano, kind_both};

const cli_option option_table[] = {
    {"--output", 'o', cli_kind::string, &o.request.output, "FILE",
     "the picture; its ending chooses the format"},
    {"--pair", 0, cli_kind::string, &o.pair, "PAIR",
     "a-b with the report's condition numbers (as 1-2) or\n"
     "<b>_vs_<a> with condition names, the fold change b over\n"
     "a; either way round (default: 1-2)"},
    {"--kind", 0, cli_kind::choice, &o.kind, "K",
     "ma, volcano or both side by side (default: both)", 0, 0, kinds},
    {"--threshold", 0, cli_kind::real, &o.request.threshold, "P",
     "features with a P-value below P are significant: red\n"
     "when up (log2 FC > 0), blue when down; the others\n"
     "translucent grey (default: 0.05)",
     0.0, 1.0},
    {"--adjusted", 0, cli_kind::flag, &o.request.adjusted, nullptr,
     "compare the Benjamini-Hochberg adjusted P-value instead,\n"
     "adjusted over the pair's features not zero throughout"},
    {"--min-count", 0, cli_kind::real, &o.min_count, "X",
     "adjust over the features whose abundances over the\n"
     "pair's samples sum to at least X (needs --tables)",
     0.0, HUGE_VAL},
    {"--label", 0, cli_kind::count, &o.labels, "N",
     "label the N features of smallest P-value, ties by larger\n"
     "|log2 FC|, each apart from those before (default: 0)",
     0, 100000},
    {"--fc-line", 0, cli_kind::real, &o.request.fc_line, "X",
     "dotted lines at log2 FC -log2 X and log2 X (X > 1)", 1.0, 1e9},
    {"--width", 0, cli_kind::count, &o.width, "W",
     "width in points, pixels at 72 dpi; default 1200 for both\nplots, 640 for one",
     240, 8000},
    {"--height", 0, cli_kind::count, &o.height, "H", "height (default: 560)", 240, 8000},
    {"--dpi", 0, cli_kind::count, &o.dpi, "N",
     "pixels per inch: of a PNG (default 72: W by H pixels), of\n"
     "the images that hold dense markers in SVG and PDF\n"
     "(default 216)",
     18, 2400},
    {"--names", 0, cli_kind::list, &o.names.names, "A,B,...",
     "condition names, in the order of mirdle's tables"},
    {"--tables", 0, cli_kind::list, &o.names.tables, "T1,T2,...",
     "mirdle's table files: means and fold changes of the means\n"
     "at full precision (without them the report's rounded\n"
     "values and its ratio of the sums), and the names (file\n"
     "name without its directory and its .tsv, .txt, .tab,\n"
     ".gz, .bz2, .xz endings)"},
};

const cli_command command = {
    "[options] REPORT -o FILE",
    "Draws the MA plot (log2 of the mean of the two conditions' means against log2\n"
    "fold change) and the volcano plot (log2 fold change against -log10 P) of one\n"
    "pair of conditions of mirdle's REPORT (\"-\" for standard input) into FILE,\n"
    "a .png, .svg or .pdf file.  Each plot's legend counts the features up, down\n"
    "and not significant, those drawn as triangles at an edge for an infinite log2\n"
    "fold change, and names the lines drawn.  FILE is replaced once complete.\n",
    option_table,
    std::size(option_table),
};

bool ends_with(const char *text, const char *ending)
{
    const size_t n = std::strlen(text), m = std::strlen(ending);
    return n > m && strcasecmp(text + n - m, ending) == 0;
}

// What the table cannot say of the options: returns -1 to go on, or 64.
int check_options()
{
    plot_request &q = o.request;
    q.kind = kind_of[o.kind];
    q.labels = static_cast<size_t>(o.labels);
    q.dpi = static_cast<double>(o.dpi);
    if (q.fc_line == 1.0)
        return cli_fail(exit_usage, "--fc-line 1: must be above 1");
    if (q.output == nullptr)
        return cli_fail(exit_usage, "no picture named; give -o FILE.png, .svg or .pdf");
    if (ends_with(q.output, ".png"))
        q.format = format_png;
    else if (ends_with(q.output, ".svg"))
        q.format = format_svg;
    else if (ends_with(q.output, ".pdf"))
        q.format = format_pdf;
    else
        return cli_fail(exit_usage, "-o %s: the name must end in .png, .svg or .pdf", q.output);
    const int panels = q.kind == kind_both ? 2 : 1;
    if (o.width == 0)
        o.width = panels == 2 ? 1200 : 640;
    if (o.width / panels < 240)
        return cli_fail(exit_usage, "--width %ld: two plots need at least 480", o.width);
    // cairo's images end at 32767 pixels a side.
    const double pixels_per_point = q.format == format_png && q.dpi > 0 ? q.dpi / 72 : 1;
    if (std::max(o.width, o.height) * pixels_per_point > 20000)
        return cli_fail(exit_usage,
                        "--dpi %g: a picture of %ld by %ld points would be %.0f by %.0f "
                        "pixels; at most 20000 a side",
                        q.dpi, o.width, o.height, o.width * pixels_per_point,
                        o.height * pixels_per_point);
    q.width = static_cast<int>(o.width);
    q.height = static_cast<int>(o.height);
    return -1;
}

int run()
{
    plot_request &q = o.request;
    const char *program = cli_name();
    report r;
    int status = read_report_file(o.report_path, &r);
    if (status != exit_ok)
        return status;
    std::vector<std::string> names;
    if ((status = settle_names(program, o.names, r.conditions, &names)) != exit_ok)
        return status;
    bool reversed = false;
    if (o.pair != nullptr) {
        const long pair = find_pair(program, "--pair", o.pair, names, &reversed);
        if (pair < 0)
            return exit_usage;
        q.pair = static_cast<size_t>(pair);
    }
    int a, b;
    pair_members(r.conditions, q.pair, &a, &b);
    if (reversed)
        std::swap(a, b);
    q.first_name = names[a];
    q.second_name = names[b];

    study s;
    study_options so;
    so.tables = o.names.tables;
    so.min_count = o.min_count;
    if ((status = load_study(program, r, so, &s)) != exit_ok)
        return status;
    panel_data panels[2];
    int count = 0;
    if (q.kind & kind_ma)
        panels[count++] = panel_points(s, q.pair, reversed, kind_ma, q.threshold, q.adjusted);
    if (q.kind & kind_volcano)
        panels[count++] = panel_points(s, q.pair, reversed, kind_volcano, q.threshold, q.adjusted);
    if ((status = draw_plot(q, r, s, panels, count)) != exit_ok)
        return status;

    const panel_data &p = panels[0];
    std::string left_out;
    if (p.all_zero > 0)
        left_out += ", " + std::to_string(p.all_zero) + " all-zero left out";
    if (p.not_a_number > 0)
        left_out += ", " + std::to_string(p.not_a_number) + " NaN left out";
    if (p.infinite_fc > 0)
        left_out += ", " + std::to_string(p.infinite_fc) + " with infinite log2 FC at the edge";
    std::fprintf(stderr, "%s: %s: %s of %s vs %s: %zu features drawn, %zu with %s < %g%s\n",
                 program, q.output,
                 q.kind == kind_both ? "MA and volcano plot"
                 : q.kind == kind_ma ? "MA plot"
                                     : "volcano plot",
                 q.second_name.c_str(), q.first_name.c_str(), p.points.size(), p.marked,
                 q.adjusted ? "adjusted P" : "P", q.threshold, left_out.c_str());
    return exit_ok;
}

int plot_main(int argc, char **argv)
{
    std::vector<const char *> operands;
    int status = cli_parse(command, argc, argv, &operands);
    if (status >= 0)
        return status;
    if (operands.size() != 1)
        return cli_usage_fail("expected one REPORT, got %zu arguments", operands.size());
    o.report_path = operands[0];
    if ((status = check_options()) >= 0)
        return status;
    return run();
}

}  // namespace

int main(int argc, char **argv)
{
    return cli_main("plot", argc, argv, plot_main);
}
