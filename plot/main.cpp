// plot: the MA and the volcano plot of one pair of conditions of a mirdle
// report, as PNG, SVG or PDF.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <strings.h>
#include <utility>

#include "broken_pipe.h"
#include "plot.h"
#include "report.h"
#include "study.h"
#include "subcmd.h"
#include "vp_stream.h"

namespace {

const char *const program = "plot";

void usage(FILE *to, const char *invoked)
{
    std::fprintf(
        to,
        "Usage: %s [options] REPORT -o FILE\n"
        "Draws the MA plot (log2 of the mean of the two conditions' means against log2\n"
        "fold change) and the volcano plot (log2 fold change against -log10 P) of one\n"
        "pair of conditions of mirdle's REPORT (\"-\" for standard input) into FILE,\n"
        "a .png, .svg or .pdf file.  Each plot's legend counts the features up, down\n"
        "and not significant, those drawn as triangles at an edge for an infinite log2\n"
        "fold change, and names the lines drawn.  FILE is replaced once complete.\n"
        "\n"
        "Options:\n"
        "  -o, --output FILE    the picture; its ending chooses the format\n"
        "  --pair PAIR          a-b with the report's condition numbers (as 1-2) or\n"
        "                       <b>_vs_<a> with condition names, the fold change b over\n"
        "                       a; either way round (default: 1-2)\n"
        "  --kind K             ma, volcano or both side by side (default: both)\n"
        "  --threshold P        features with a P-value below P are significant: red\n"
        "                       when up (log2 FC > 0), blue when down; the others\n"
        "                       translucent grey (default: 0.05)\n"
        "  --adjusted           compare the Benjamini-Hochberg adjusted P-value instead,\n"
        "                       adjusted over the pair's features not zero throughout\n"
        "  --min-count X        adjust over the features whose abundances over the\n"
        "                       pair's samples sum to at least X (needs --tables)\n"
        "  --label N            label the N features of smallest P-value, ties by larger\n"
        "                       |log2 FC|, each apart from those before (default: 0)\n"
        "  --fc-line X          dotted lines at log2 FC -log2 X and log2 X (X > 1)\n"
        "  --width W            width in points, pixels at 72 dpi; default 1200 for both\n"
        "                       plots, 640 for one\n"
        "  --height H           height (default: 560)\n"
        "  --dpi N              pixels per inch: of a PNG (default 72: W by H pixels), of\n"
        "                       the images that hold dense markers in SVG and PDF\n"
        "                       (default 216)\n"
        "  --names A,B,...      condition names, in the order of mirdle's tables\n"
        "  --tables T1,T2,...   mirdle's table files: means and fold changes of the means\n"
        "                       at full precision (without them the report's rounded\n"
        "                       values and its ratio of the sums), and the names (file\n"
        "                       name without its directory and its .tsv, .txt, .tab,\n"
        "                       .gz, .bz2, .xz endings)\n"
        "  --help               this text\n"
        "  --version            the version\n",
        invoked);
}

struct options {
    plot_request request;
    name_options names;
    const char *report_path = nullptr;
    const char *pair = nullptr;
    long width = 0, height = 560;
    double min_count = 0;
};

bool ends_with(const char *text, const char *ending)
{
    const size_t n = std::strlen(text), m = std::strlen(ending);
    return n > m && strcasecmp(text + n - m, ending) == 0;
}

// Returns -1 to go on, or the exit status.
int parse_command_line(int argc, char **argv, options *o)
{
    const char *invoked = argv[0] ? argv[0] : program;
    plot_request &q = o->request;
    bool operands_only = false;
    int operands = 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = nullptr;
        option_match m = option_no;
        long number = 0;
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
        } else if (std::strcmp(arg, "--adjusted") == 0) {
            q.adjusted = true;
        } else if ((m = match_option(program, argc, argv, &i, "--output", &value)) != option_no ||
                   (m = match_option(program, argc, argv, &i, "-o", &value)) != option_no) {
            if (m == option_missing)
                return exit_usage;
            q.output = value;
        } else if ((m = match_option(program, argc, argv, &i, "--pair", &value)) != option_no) {
            if (m == option_missing)
                return exit_usage;
            o->pair = value;
        } else if ((m = match_option(program, argc, argv, &i, "--kind", &value)) != option_no) {
            if (m == option_missing)
                return exit_usage;
            if (std::strcmp(value, "ma") == 0)
                q.kind = kind_ma;
            else if (std::strcmp(value, "volcano") == 0)
                q.kind = kind_volcano;
            else if (std::strcmp(value, "both") == 0)
                q.kind = kind_both;
            else {
                std::fprintf(stderr, "%s: --kind %s: give ma, volcano or both\n", program, value);
                return exit_usage;
            }
        } else if ((m = match_option(program, argc, argv, &i, "--threshold", &value)) !=
                   option_no) {
            if (m == option_missing ||
                !parse_real_option(program, "--threshold", value, 0.0, 1.0, &q.threshold))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--label", &value)) != option_no) {
            if (m == option_missing ||
                !parse_count_option(program, "--label", value, 0, 100000, &number))
                return exit_usage;
            q.labels = static_cast<size_t>(number);
        } else if ((m = match_option(program, argc, argv, &i, "--fc-line", &value)) !=
                   option_no) {
            if (m == option_missing ||
                !parse_real_option(program, "--fc-line", value, 1.0, 1e9, &q.fc_line))
                return exit_usage;
            if (q.fc_line == 1.0) {
                std::fprintf(stderr, "%s: --fc-line %s: must be above 1\n", program, value);
                return exit_usage;
            }
        } else if ((m = match_option(program, argc, argv, &i, "--min-count", &value)) !=
                   option_no) {
            if (m == option_missing ||
                !parse_real_option(program, "--min-count", value, 0.0, HUGE_VAL, &o->min_count))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--dpi", &value)) != option_no) {
            if (m == option_missing ||
                !parse_count_option(program, "--dpi", value, 18, 2400, &number))
                return exit_usage;
            q.dpi = static_cast<double>(number);
        } else if ((m = match_option(program, argc, argv, &i, "--width", &value)) != option_no) {
            if (m == option_missing ||
                !parse_count_option(program, "--width", value, 240, 8000, &o->width))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--height", &value)) != option_no) {
            if (m == option_missing ||
                !parse_count_option(program, "--height", value, 240, 8000, &o->height))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--names", &value)) != option_no) {
            if (m == option_missing || !add_list_items(program, "--names", value, &o->names.names))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--tables", &value)) != option_no) {
            if (m == option_missing ||
                !add_list_items(program, "--tables", value, &o->names.tables))
                return exit_usage;
        } else {
            return unknown_option(program, invoked, arg);
        }
    }
    if (operands != 1) {
        std::fprintf(stderr, "%s: expected one REPORT, got %d arguments (see %s --help)\n",
                     program, operands, invoked);
        return exit_usage;
    }
    if (q.output == nullptr) {
        std::fprintf(stderr, "%s: no picture named; give -o FILE.png, .svg or .pdf\n", program);
        return exit_usage;
    }
    if (ends_with(q.output, ".png"))
        q.format = format_png;
    else if (ends_with(q.output, ".svg"))
        q.format = format_svg;
    else if (ends_with(q.output, ".pdf"))
        q.format = format_pdf;
    else {
        std::fprintf(stderr, "%s: -o %s: the name must end in .png, .svg or .pdf\n", program,
                     q.output);
        return exit_usage;
    }
    const int panels = q.kind == kind_both ? 2 : 1;
    if (o->width == 0)
        o->width = panels == 2 ? 1200 : 640;
    if (o->width / panels < 240) {
        std::fprintf(stderr, "%s: --width %ld: two plots need at least 480\n", program, o->width);
        return exit_usage;
    }
    // cairo's images end at 32767 pixels a side.
    const double pixels_per_point = q.format == format_png && q.dpi > 0 ? q.dpi / 72 : 1;
    if (std::max(o->width, o->height) * pixels_per_point > 20000) {
        std::fprintf(stderr, "%s: --dpi %g: a picture of %ld by %ld points would be %.0f by %.0f "
                     "pixels; at most 20000 a side\n",
                     program, q.dpi, o->width, o->height, o->width * pixels_per_point,
                     o->height * pixels_per_point);
        return exit_usage;
    }
    q.width = static_cast<int>(o->width);
    q.height = static_cast<int>(o->height);
    return -1;
}

int run(options &o)
{
    plot_request &q = o.request;
    const bool from_stdin = std::strcmp(o.report_path, "-") == 0;
    FILE *in = from_stdin ? stdin : vp_fopen(o.report_path, "r");
    if (in == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", program, o.report_path,
                     std::strerror(errno));
        return exit_no_input;
    }
    report r;
    int status = read_report(in, from_stdin ? "standard input" : o.report_path, program, &r);
    if (!from_stdin)
        vp_fclose(in);
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
