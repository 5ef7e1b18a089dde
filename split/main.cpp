// split: one count matrix and a sample sheet in, one mirdle table per
// condition out, and the mirdle command that compares them.

#include <cstdio>
#include <cstring>
#include <new>

#include "broken_pipe.h"
#include "report.h"
#include "split.h"
#include "subcmd.h"

namespace {

const char *const program = "split";

void usage(FILE *to, const char *invoked)
{
    std::fprintf(
        to,
        "Usage: %s [options] MATRIX SHEET DIR\n"
        "Writes DIR/<condition>.tsv, one mirdle table per condition of the sample SHEET,\n"
        "from the count MATRIX, and prints the dranvel mirdle command that compares them.\n"
        "MATRIX: a header of sample names, then a feature id and one count per sample\n"
        "on every row, or featureCounts output; tab- or comma-separated, plain or .gz,\n"
        ".bz2, .xz.  SHEET: a header, then one row per sample naming its condition.\n"
        "\"-\" reads standard input (for one of them).\n"
        "Standard error names the condition column when split chose it, and warns of\n"
        "conditions of unequal sizes, whose near-exact P-values leave samples out.\n"
        "\n"
        "Options:\n"
        "  --sep C                 MATRIX separator: tab, comma, or one character\n"
        "                          (default: found from the header row)\n"
        "  --sheet-sep C           the same for SHEET\n"
        "  --layout L              MATRIX layout: auto (default), plain or featurecounts\n"
        "  --sample-column NAME    SHEET column of the sample names (default: the first)\n"
        "  --condition-column NAME SHEET column of the conditions (default: the one named\n"
        "                          condition, group or treatment in any case, else the\n"
        "                          only one with 2 or more values but fewer than there\n"
        "                          are samples; when several could be, split refuses)\n"
        "  --conditions A,B,...    only these conditions, in this order (default: all, in\n"
        "                          the order in which SHEET first names them)\n"
        "  --normalize[=METHOD]    divide every count by its sample's size factor over\n"
        "                          the samples of all tables, the factors written to\n"
        "                          DIR/size_factors.tsv and listed on standard error;\n"
        "                          METHOD: ratio (default), upperquartile or total, as\n"
        "                          in dranvel-normalize(1)\n"
        "  --help                  this text\n"
        "  --version               the version\n",
        invoked);
}

bool parse_separator(const char *option, const char *text, char *sep)
{
    if (std::strcmp(text, "tab") == 0 || std::strcmp(text, "\\t") == 0)
        *sep = '\t';
    else if (std::strcmp(text, "comma") == 0)
        *sep = ',';
    else if (std::strcmp(text, "semicolon") == 0)
        *sep = ';';
    else if (text[0] != '\0' && text[1] == '\0' && text[0] != '"' && text[0] != '\n' &&
             text[0] != '\r')
        *sep = text[0];
    else {
        std::fprintf(stderr, "%s: %s %s: give tab, comma, semicolon or one character\n",
                     program, option, text);
        return false;
    }
    return true;
}

// Returns -1 to go on, or the exit status.
int parse_command_line(int argc, char **argv, split_request *r)
{
    const char *invoked = argv[0] ? argv[0] : program;
    const char *operand[3] = {nullptr, nullptr, nullptr};
    int operands = 0;
    bool operands_only = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = nullptr;
        option_match m = option_no;
        if (operands_only || !is_option(arg)) {
            if (operands < 3)
                operand[operands] = arg;
            ++operands;
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            operands_only = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            usage(stdout, invoked);
            return finish_stdout(program);
        } else if (std::strcmp(arg, "--version") == 0) {
            return print_version(program, invoked);
        } else if ((m = match_option(program, argc, argv, &i, "--sep", &value)) != option_no) {
            if (m == option_missing || !parse_separator("--sep", value, &r->matrix_sep))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--sheet-sep", &value)) !=
                   option_no) {
            if (m == option_missing || !parse_separator("--sheet-sep", value, &r->sheet_sep))
                return exit_usage;
        } else if ((m = match_option(program, argc, argv, &i, "--layout", &value)) != option_no) {
            if (m == option_missing)
                return exit_usage;
            if (std::strcmp(value, "auto") == 0)
                r->layout = layout_auto;
            else if (std::strcmp(value, "plain") == 0)
                r->layout = layout_plain;
            else if (std::strcmp(value, "featurecounts") == 0)
                r->layout = layout_featurecounts;
            else {
                std::fprintf(stderr, "%s: --layout %s: give auto, plain or featurecounts\n",
                             program, value);
                return exit_usage;
            }
        } else if ((m = match_option(program, argc, argv, &i, "--sample-column", &value)) !=
                   option_no) {
            if (m == option_missing)
                return exit_usage;
            r->sample_column = value;
        } else if ((m = match_option(program, argc, argv, &i, "--condition-column", &value)) !=
                   option_no) {
            if (m == option_missing)
                return exit_usage;
            r->condition_column = value;
        } else if ((m = match_option(program, argc, argv, &i, "--conditions", &value)) !=
                   option_no) {
            if (m == option_missing ||
                !add_list_items(program, "--conditions", value, &r->conditions))
                return exit_usage;
        } else if (std::strcmp(arg, "--normalize") == 0) {
            r->normalize = true;
            r->method = method_ratio;
        } else if (std::strncmp(arg, "--normalize=", 12) == 0) {
            r->normalize = true;
            if (!size_factor_method_from_name(arg + 12, &r->method)) {
                std::fprintf(stderr, "%s: %s: give ratio, upperquartile or total\n", program,
                             arg);
                return exit_usage;
            }
        } else {
            return unknown_option(program, invoked, arg);
        }
    }
    if (operands != 3) {
        std::fprintf(stderr,
                     "%s: expected MATRIX SHEET DIR, got %d argument%s (see %s --help)\n",
                     program, operands, operands == 1 ? "" : "s", invoked);
        return exit_usage;
    }
    r->matrix_path = operand[0];
    r->sheet_path = operand[1];
    r->dir = operand[2];
    if (std::strcmp(r->matrix_path, "-") == 0 && std::strcmp(r->sheet_path, "-") == 0) {
        std::fprintf(stderr, "%s: MATRIX and SHEET cannot both be standard input\n", program);
        return exit_usage;
    }
    if (r->dir[0] == '\0') {
        std::fprintf(stderr, "%s: DIR is empty\n", program);
        return exit_usage;
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    take_default_sigpipe();
    try {
        split_request request;
        int status = parse_command_line(argc, argv, &request);
        if (status >= 0)
            return status;
        status = split_matrix(request);
        return status != 0 ? status : finish_stdout(program);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", program);
        return exit_no_memory;
    }
}
