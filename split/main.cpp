// split: one count matrix and a sample sheet in, one mirdle table per
// condition out, and the mirdle command that compares them.

#include <cstring>
#include <iterator>

#include "cli.h"
#include "split.h"

namespace {

split_request request;
const char *matrix_sep = nullptr, *sheet_sep = nullptr;
int layout = layout_auto, method = method_ratio;

const char *const layouts[] = {"auto", "plain", "featurecounts", nullptr};
const char *const methods[] = {"ratio", "upperquartile", "total", nullptr};

const cli_option option_table[] = {
    {"--sep", 0, cli_kind::string, &matrix_sep, "C",
     "MATRIX separator: tab, comma, or one character\n(default: found from the header row)"},
    {"--sheet-sep", 0, cli_kind::string, &sheet_sep, "C", "the same for SHEET"},
    {"--layout", 0, cli_kind::choice, &layout, "L",
     "MATRIX layout: auto (default), plain or featurecounts", 0, 0, layouts},
    {"--sample-column", 0, cli_kind::string, &request.sample_column, "NAME",
     "SHEET column of the sample names (default: the first)"},
    {"--condition-column", 0, cli_kind::string, &request.condition_column, "NAME",
     "SHEET column of the conditions (default: the one named\n"
     "condition, group or treatment in any case, else the\n"
     "only one with 2 or more values but fewer than there\n"
     "are samples; when several could be, split refuses)"},
    {"--conditions", 0, cli_kind::list, &request.conditions, "A,B,...",
     "only these conditions, in this order (default: all, in\n"
     "the order in which SHEET first names them)"},
    {"--normalize", 0, cli_kind::choice, &method, "METHOD",
     "divide every count by its sample's size factor over\n"
     "the samples of all tables, the factors written to\n"
     "DIR/size_factors.tsv and listed on standard error;\n"
     "METHOD: ratio (default), upperquartile or total, as\n"
     "in dranvel-normalize(1)",
     0, 0, methods, true, &request.normalize},
};

const cli_command command = {
    "[options] MATRIX SHEET DIR",
    "Writes DIR/<condition>.tsv, one mirdle table per condition of the sample SHEET,\n"
    "from the count MATRIX, and prints the dranvel mirdle command that compares them.\n"
    "MATRIX: a header of sample names, then a feature id and one count per sample\n"
    "on every row, or featureCounts output; tab- or comma-separated, plain or .gz,\n"
    ".bz2, .xz.  SHEET: a header, then one row per sample naming its condition.\n"
    "\"-\" reads standard input (for one of them).\n"
    "Standard error names the condition column when split chose it, and warns of\n"
    "conditions of unequal sizes, whose near-exact P-values leave samples out.\n",
    option_table,
    std::size(option_table),
};

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
        cli_fail(exit_usage, "%s %s: give tab, comma, semicolon or one character", option, text);
        return false;
    }
    return true;
}

int split_main(int argc, char **argv)
{
    std::vector<const char *> operands;
    const int status = cli_parse(command, argc, argv, &operands);
    if (status >= 0)
        return status;
    if ((matrix_sep != nullptr && !parse_separator("--sep", matrix_sep, &request.matrix_sep)) ||
        (sheet_sep != nullptr && !parse_separator("--sheet-sep", sheet_sep, &request.sheet_sep)))
        return exit_usage;
    request.layout = static_cast<matrix_layout>(layout);
    request.method = static_cast<size_factor_method>(method);
    if (operands.size() != 3)
        return cli_usage_fail("expected MATRIX SHEET DIR, got %zu argument%s", operands.size(),
                              operands.size() == 1 ? "" : "s");
    request.matrix_path = operands[0];
    request.sheet_path = operands[1];
    request.dir = operands[2];
    if (cli_is_stdin(request.matrix_path) && cli_is_stdin(request.sheet_path))
        return cli_fail(exit_usage, "MATRIX and SHEET cannot both be standard input");
    if (request.dir[0] == '\0')
        return cli_fail(exit_usage, "DIR is empty");
    const int split = split_matrix(request);
    return split != exit_ok ? split : cli_finish_stdout();
}

}  // namespace

int main(int argc, char **argv)
{
    return cli_main("split", argc, argv, split_main);
}
