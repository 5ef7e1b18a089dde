#include "report_reader.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "exit_status.h"
#include "mirdle/report.h"
#include "vp_dsv.h"
#include "vp_limits.h"
#include "vp_stream.h"

size_t pair_index(int n, int a, int b)
{
    const size_t sa = static_cast<size_t>(a), sn = static_cast<size_t>(n);
    return sa * sn - sa * (sa + 1) / 2 + static_cast<size_t>(b - a - 1);
}

void pair_members(int n, size_t pair, int *a, int *b)
{
    for (int i = 0; i < n - 1; ++i) {
        const size_t in_row = static_cast<size_t>(n - 1 - i);
        if (pair < in_row) {
            *a = i;
            *b = i + 1 + static_cast<int>(pair);
            return;
        }
        pair -= in_row;
    }
    *a = *b = -1;
}

namespace {

// The header as mirdle writes it, without its newline: the reader accepts
// exactly what the writer puts.
struct string_sink {
    std::string *text;
    [[gnu::format(printf, 2, 3)]] void put(const char *format, ...)
    {
        char piece[64];
        va_list args;
        va_start(args, format);
        std::vsnprintf(piece, sizeof piece, format, args);
        va_end(args);
        *text += piece;
    }
};

std::string header_for(int n)
{
    std::string s;
    string_sink sink{&s};
    put_header(sink, n);
    s.pop_back();
    return s;
}

bool is_number(const std::string &text, double *value)
{
    if (text.empty())
        return false;
    char *end;
    *value = std::strtod(text.c_str(), &end);
    return *end == '\0';
}

std::string column_label(int n, size_t column)
{
    char label[64];
    const size_t un = static_cast<size_t>(n);
    if (column < un) {
        std::snprintf(label, sizeof label, "MNC%zu", column + 1);
    } else if (column < 2 * un) {
        std::snprintf(label, sizeof label, "SD/C%zu", column - un + 1);
    } else {
        const size_t pair = (column - 2 * un) / 3;
        int a, b;
        pair_members(n, pair, &a, &b);
        static const char *const kinds[] = {"FC", "log2(FC)", "P-val"};
        std::snprintf(label, sizeof label, "%s %d-%d", kinds[(column - 2 * un) % 3], a + 1,
                      b + 1);
    }
    return label;
}

int bad_row(const char *program, const char *path, unsigned long line, const char *what)
{
    std::fprintf(stderr, "%s: %s:%lu: not a mirdle report row: %s\n", program, path, line, what);
    return exit_data;
}

// Checks the values of one row and appends them to the report.
int take_row(const char *program, const char *path, unsigned long line_no, std::string_view id,
             const std::string_view *tokens, report *out)
{
    const int n = out->conditions;
    const size_t first = out->texts.size();
    for (size_t k = 0; k < out->columns; ++k) {
        out->texts.emplace_back(tokens[k]);
        double v = NAN;
        const std::string &text = out->texts.back();
        const bool fold = k >= static_cast<size_t>(2 * n) && (k - 2 * n) % 3 != 2;
        if (!(fold && text == "*") && !is_number(text, &v)) {
            const std::string what =
                column_label(n, k) + " value \"" + text + "\" is not a number";
            return bad_row(program, path, line_no, what.c_str());
        }
        out->values.push_back(v);
    }
    for (size_t pair = 0; pair < out->pairs; ++pair) {
        const bool fc_star = out->texts[first + fc_column(n, pair)] == "*";
        const bool log_star = out->texts[first + log2fc_column(n, pair)] == "*";
        if (fc_star != log_star) {
            const std::string what =
                column_label(n, fc_column(n, pair)) + " and its log2 must both be \"*\" or neither";
            return bad_row(program, path, line_no, what.c_str());
        }
        const double p = out->values[first + pvalue_column(n, pair)];
        if (p < 0.0 || p > 1.0) {
            const std::string what = column_label(n, pvalue_column(n, pair)) + " value \"" +
                                     out->texts[first + pvalue_column(n, pair)] +
                                     "\" is not a P-value";
            return bad_row(program, path, line_no, what.c_str());
        }
    }
    out->ids.emplace_back(id);
    ++out->rows;
    return exit_ok;
}

int read_rows(FILE *stream, const char *path, const char *program, vp_dsv_line *line,
              report *out)
{
    std::vector<std::string_view> tokens;
    for (unsigned long line_no = 1;; ++line_no) {
        errno = 0;
        const int end = vp_dsv_line_read(line, stream, "");
        if (end == EOF) {
            if (line_no == 1) {
                std::fprintf(stderr, "%s: %s: empty, not a mirdle report\n", program, path);
                return exit_data;
            }
            return exit_ok;
        }
        if (end == VP_DSV_READ_ERROR) {
            const int e = errno ? errno : EIO;
            std::fprintf(stderr, "%s: %s: cannot read: %s\n", program, path, std::strerror(e));
            return e == ENOMEM ? exit_no_memory : exit_io;
        }
        if (end != '\n') {
            std::fprintf(stderr, "%s: %s:%lu: holds a NUL byte, not a mirdle report\n", program,
                         path, line_no);
            return exit_data;
        }
        std::string_view text = vp_dsv_line_get_fields_ae(line, 0);
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        if (line_no == 1) {
            out->conditions = parse_report_header(text);
            if (out->conditions == 0) {
                std::fprintf(stderr,
                             "%s: %s:1: not a mirdle report: the first line is not its header "
                             "(Feature, MNC1, MNC2, ...)\n",
                             program, path);
                return exit_data;
            }
            const size_t n = static_cast<size_t>(out->conditions);
            out->pairs = n * (n - 1) / 2;
            out->columns = 2 * n + 3 * out->pairs;
            tokens.resize(out->columns);
            continue;
        }
        std::string_view id;
        const char *why = split_report_row(text, out->conditions, &id, tokens.data());
        if (why != nullptr)
            return bad_row(program, path, line_no, why);
        const int status = take_row(program, path, line_no, id, tokens.data(), out);
        if (status != exit_ok)
            return status;
    }
}

}  // namespace

int parse_report_header(std::string_view line)
{
    if (line.substr(0, 7) != "Feature")
        return 0;
    int n = 0;
    for (size_t pos = 0; pos < line.size();) {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        const size_t start = pos;
        while (pos < line.size() && line[pos] != ' ')
            ++pos;
        if (line.substr(start, 3) == "MNC" && pos > start + 3)
            ++n;
    }
    if (n < 2 || n > MAX_CONDITIONS)
        return 0;
    return header_for(n) == line ? n : 0;
}

const char *split_report_row(std::string_view line, int conditions, std::string_view *id,
                             std::string_view *tokens)
{
    const size_t n = static_cast<size_t>(conditions);
    const size_t columns = 2 * n + 3 * (n * (n - 1) / 2);
    size_t end = line.size();
    for (size_t k = columns; k-- > 0;) {
        while (end > 0 && line[end - 1] == ' ')
            --end;
        size_t start = end;
        while (start > 0 && line[start - 1] != ' ')
            --start;
        if (start == end)
            return "fewer values than the header names";
        tokens[k] = line.substr(start, end - start);
        end = start;
    }
    // What lies before the first value: the id padded to 20 characters, the
    // blank of the first column, and that column's own padding to 7.
    const size_t lead = 1 + (tokens[0].size() < 7 ? 7 - tokens[0].size() : 0);
    if (end < 20 + lead)
        return "the feature id column is narrower than 20 characters";
    for (size_t k = end - lead; k < end; ++k)
        if (line[k] != ' ')
            return "values are not separated as in a report";
    std::string_view padded = line.substr(0, end - lead);
    if (padded.size() == 20)
        while (!padded.empty() && padded.back() == ' ')
            padded.remove_suffix(1);
    *id = padded;
    return nullptr;
}

int read_report(FILE *stream, const char *path, const char *program, report *out)
{
    vp_dsv_line *line = vp_dsv_line_new();
    if (line == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", program);
        return exit_no_memory;
    }
    const int status = read_rows(stream, path, program, line, out);
    vp_dsv_line_free(line);
    return status;
}

int read_report_file(const char *path, report *out)
{
    const bool from_stdin = cli_is_stdin(path);
    FILE *in = from_stdin ? stdin : vp_fopen(path, "r");
    if (in == nullptr)
        return cli_errno_fail(exit_no_input, errno, "cannot open %s", path);
    const int status = read_report(in, cli_input_name(path), cli_name(), out);
    if (!from_stdin)
        vp_fclose(in);
    return status;
}
