#include "split.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unordered_map>
#include <unordered_set>

#include "abundance_text.h"
#include "cli.h"
#include "exit_status.h"
#include "method.h"
#include "out_dir.h"
#include "pvalue.h"
#include "vp_dsv.h"
#include "vp_limits.h"
#include "vp_stream.h"

const char *split_fields(std::string_view line, char sep, std::vector<std::string> *fields)
{
    fields->clear();
    size_t i = 0;
    const size_t len = line.size();
    for (;;) {
        std::string field;
        if (i < len && line[i] == '"') {
            for (++i;; ++i) {
                if (i >= len)
                    return "a quoted field has no closing quote on its line";
                if (line[i] == '"') {
                    if (i + 1 < len && line[i + 1] == '"') {
                        field += '"';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i];
            }
            if (i < len && line[i] != sep)
                return "text follows the closing quote of a field";
        } else {
            size_t j = line.find(sep, i);
            if (j == std::string_view::npos)
                j = len;
            field.assign(line.substr(i, j - i));
            i = j;
        }
        fields->push_back(std::move(field));
        if (i >= len)
            return nullptr;
        ++i;  // the separator
    }
}

char detect_separator(std::string_view line)
{
    bool quoted = false, comma = false;
    for (char ch : line) {
        if (ch == '"')
            quoted = !quoted;
        else if (!quoted && ch == '\t')
            return '\t';
        else if (!quoted && ch == ',')
            comma = true;
    }
    return comma ? ',' : '\t';
}

count_fault check_count(std::string_view text)
{
    size_t i = 0;
    const bool minus = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return count_not_number;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        size_t exponent = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++exponent;
        if (exponent == 0)
            return count_not_number;
    }
    if (i != text.size())
        return count_not_number;
    const std::string copy(text);
    const float single = std::strtof(copy.c_str(), nullptr);
    if (minus && single != 0.0f)
        return count_negative;
    // Also a value that rounds to 0 in single precision: mirdle would read 0
    // where the matrix holds a positive count.
    const double wide = std::strtod(copy.c_str(), nullptr);
    if (std::isinf(single) || (single == 0.0f && wide != 0.0))
        return minus ? count_negative : count_out_of_range;
    return count_ok;
}

std::string_view trim_blanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

namespace {

bool has_control(std::string_view text)
{
    for (unsigned char ch : text)
        if (ch < 0x20 || ch == 0x7f)
            return true;
    return false;
}

}  // namespace

const char *condition_name_fault(std::string_view name)
{
    if (name.empty())
        return "it is empty";
    if (name == "." || name == "..")
        return "it is . or ..";
    if (name.find('/') != std::string_view::npos)
        return "it holds a \"/\"";
    if (has_control(name))
        return "it holds a control character";
    return nullptr;
}

std::string shell_word(const std::string &text)
{
    static const char safe[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+:=@%,-";
    std::string word = text;
    if (!word.empty() && word[0] == '-')
        word = "./" + word;
    if (!word.empty() && word.find_first_not_of(safe) == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char ch : word) {
        if (ch == '\'')
            quoted += "'\\''";
        else
            quoted += ch;
    }
    return quoted + "'";
}

std::string table_path(const char *dir, const std::string &condition)
{
    std::string path = dir;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + condition + ".tsv";
}

namespace {

// Lines of one input, counted, with a CR before the newline and a leading
// byte order mark dropped.
struct text_lines {
    FILE *stream = nullptr;
    const char *path = nullptr;  // as shown in messages
    vp_dsv_line *line = nullptr;
    unsigned long number = 0;
    bool from_stdin = false;
};

int open_lines(const char *path, text_lines *t)
{
    t->from_stdin = std::strcmp(path, "-") == 0;
    t->path = t->from_stdin ? "standard input" : path;
    t->stream = t->from_stdin ? stdin : vp_fopen(path, "r");
    if (t->stream == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", cli_name(), path, std::strerror(errno));
        return exit_no_input;
    }
    t->line = vp_dsv_line_new();
    if (t->line == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", cli_name());
        return exit_no_memory;
    }
    return exit_ok;
}

void close_lines(text_lines *t)
{
    if (t->stream != nullptr && !t->from_stdin)
        vp_fclose(t->stream);
    vp_dsv_line_free(t->line);
    t->stream = nullptr;
    t->line = nullptr;
}

// The next line that is not empty; *end is set when there is none.
int next_line(text_lines *t, std::string_view *text, bool *end)
{
    for (;;) {
        errno = 0;
        const int got = vp_dsv_line_read(t->line, t->stream, "");
        if (got == EOF) {
            *end = true;
            return exit_ok;
        }
        ++t->number;
        if (got == VP_DSV_READ_ERROR) {
            const int e = errno ? errno : EIO;
            std::fprintf(stderr, "%s: %s: cannot read: %s\n", cli_name(), t->path, std::strerror(e));
            return e == ENOMEM ? exit_no_memory : exit_io;
        }
        if (got != '\n') {
            std::fprintf(stderr, "%s: %s:%lu: the line holds a NUL byte\n", cli_name(), t->path,
                         t->number);
            return exit_data;
        }
        *text = vp_dsv_line_get_fields_ae(t->line, 0);
        if (!text->empty() && text->back() == '\r')
            text->remove_suffix(1);
        // The byte order mark that spreadsheets put in front of UTF-8 text.
        if (t->number == 1 && text->substr(0, 3) == "\xef\xbb\xbf")
            text->remove_prefix(3);
        if (!text->empty()) {
            *end = false;
            return exit_ok;
        }
    }
}

int line_fault(const text_lines &t, const char *what)
{
    std::fprintf(stderr, "%s: %s:%lu: %s\n", cli_name(), t.path, t.number, what);
    return exit_data;
}

int split_line(const text_lines &t, std::string_view text, char sep,
               std::vector<std::string> *fields)
{
    const char *why = split_fields(text, sep, fields);
    return why == nullptr ? exit_ok : line_fault(t, why);
}

int width_fault(const text_lines &t, size_t got, size_t want)
{
    std::fprintf(stderr, "%s: %s:%lu: %zu fields where the header gives %zu\n", cli_name(), t.path,
                 t.number, got, want);
    return exit_data;
}

// A column index given by name, or the default; counted in data rows.
int sheet_column(const text_lines &t, const std::vector<std::string> &header, size_t shift,
                 const char *name, const char *option, size_t fallback, size_t *column)
{
    if (name == nullptr) {
        *column = fallback;
        return exit_ok;
    }
    for (size_t k = 0; k < header.size(); ++k)
        if (header[k] == name) {
            *column = k + shift;
            return exit_ok;
        }
    std::string names;
    for (const std::string &h : header)
        names += (names.empty() ? "" : ", ") + h;
    std::fprintf(stderr, "%s: %s: %s %s: the header has no such column (it has: %s)\n", cli_name(),
                 t.path, option, name, names.c_str());
    return exit_data;
}

// Header names that make a sheet column the condition column, compared
// without regard to case.
const char *const condition_column_names[] = {"condition", "group", "treatment"};

bool names_conditions(const std::string &name)
{
    for (const char *n : condition_column_names)
        if (strcasecmp(name.c_str(), n) == 0)
            return true;
    return false;
}

size_t distinct_values(const std::vector<std::vector<std::string>> &rows, size_t field)
{
    std::unordered_set<std::string_view> values;
    for (const std::vector<std::string> &row : rows)
        values.insert(row[field]);
    return values.size();
}

// The condition column when no option names it, as an index into header
// (whose names are the fields of rows from shift on): the one column named
// as condition_column_names says; when none is, the one that could hold
// conditions, with at least two distinct values and fewer than there are
// samples; when none could, the one column besides the sample column.
// Never the sample column, nor row names, which have no header to name them
// by.  Returns false when that leaves more than one, listed in *candidates.
bool choose_condition_column(const std::vector<std::string> &header, size_t shift,
                             const std::vector<std::vector<std::string>> &rows, size_t sample,
                             size_t *column, std::vector<size_t> *candidates, bool *named)
{
    std::vector<size_t> others, could;
    candidates->clear();
    for (size_t k = 0; k < header.size(); ++k) {
        if (k + shift == sample)
            continue;
        others.push_back(k);
        if (names_conditions(header[k]))
            candidates->push_back(k);
        const size_t values = distinct_values(rows, k + shift);
        if (values >= 2 && values < rows.size())
            could.push_back(k);
    }
    *named = !candidates->empty();
    if (candidates->empty())
        *candidates = could.empty() ? others : could;
    *column = candidates->empty() ? 0 : (*candidates)[0];
    return candidates->size() == 1;
}

int ambiguous_column(const text_lines &t, const std::vector<std::string> &header, size_t shift,
                     const std::vector<std::vector<std::string>> &rows,
                     const std::vector<size_t> &candidates, bool named)
{
    std::string list;
    for (size_t k : candidates) {
        const size_t values = distinct_values(rows, k + shift);
        list += (list.empty() ? "\"" : ", \"") + header[k] + "\" (" + std::to_string(values) +
                (values == 1 ? " value)" : " values)");
    }
    std::string names;
    const size_t count = std::size(condition_column_names);
    for (size_t n = 0; n < count; ++n) {
        if (n > 0)
            names += n + 1 < count ? ", " : " or ";
        names += condition_column_names[n];
    }
    if (named)
        std::fprintf(stderr, "%s: %s: %zu columns are named for conditions: %s; choose one "
                     "with --condition-column\n",
                     cli_name(), t.path, candidates.size(), list.c_str());
    else
        std::fprintf(stderr, "%s: %s: no column is named %s, and %zu could hold the "
                     "conditions: %s; choose one with --condition-column\n",
                     cli_name(), t.path, names.c_str(), candidates.size(), list.c_str());
    return exit_usage;
}

// The sheet is read whole before its columns are chosen: whether a column
// could hold the conditions depends on all of its values.
int read_sheet_lines(const split_request &request, text_lines &t,
                     std::vector<sheet_entry> *sheet, std::string *chosen)
{
    std::string_view text;
    bool end;
    int status = next_line(&t, &text, &end);
    if (status != exit_ok)
        return status;
    if (end) {
        std::fprintf(stderr, "%s: %s: empty; a sample sheet has a header and one row per sample\n",
                     cli_name(), t.path);
        return exit_data;
    }
    const char sep = request.sheet_sep ? request.sheet_sep : detect_separator(text);
    std::vector<std::string> header, fields;
    if ((status = split_line(t, text, sep, &header)) != exit_ok)
        return status;
    const unsigned long header_line = t.number;

    std::vector<std::vector<std::string>> rows;
    std::vector<unsigned long> lines;
    size_t width = 0, shift = 0;
    for (;;) {
        if ((status = next_line(&t, &text, &end)) != exit_ok)
            return status;
        if (end)
            break;
        if ((status = split_line(t, text, sep, &fields)) != exit_ok)
            return status;
        if (width == 0) {
            // One field more than the header: the first column holds row
            // names and has no header of its own, as R's write.table writes.
            shift = fields.size() == header.size() + 1 ? 1 : 0;
            width = header.size() + shift;
            if (fields.size() != width)
                return width_fault(t, fields.size(), header.size());
            if (width < 2) {
                std::fprintf(stderr,
                             "%s: %s:%lu: one column; a sample sheet needs a sample and a "
                             "condition column\n",
                             cli_name(), t.path, header_line);
                return exit_data;
            }
        } else if (fields.size() != width) {
            return width_fault(t, fields.size(), width);
        }
        rows.push_back(std::move(fields));
        lines.push_back(t.number);
    }
    if (rows.empty()) {
        std::fprintf(stderr, "%s: %s: a header but no samples\n", cli_name(), t.path);
        return exit_data;
    }

    size_t sample = 0, condition = 0;
    if ((status = sheet_column(t, header, shift, request.sample_column, "--sample-column", 0,
                               &sample)) != exit_ok)
        return status;
    if (request.condition_column != nullptr) {
        if ((status = sheet_column(t, header, shift, request.condition_column,
                                   "--condition-column", 1, &condition)) != exit_ok)
            return status;
    } else {
        std::vector<size_t> candidates;
        bool named;
        if (!choose_condition_column(header, shift, rows, sample, &condition, &candidates,
                                     &named)) {
            if (!candidates.empty())
                return ambiguous_column(t, header, shift, rows, candidates, named);
            std::fprintf(stderr, "%s: %s: no column besides the sample column; a sample sheet "
                         "needs a condition column\n",
                         cli_name(), t.path);
            return exit_data;
        }
        *chosen = header[condition];
        condition += shift;
    }
    if (sample == condition) {
        std::fprintf(stderr, "%s: %s: the sample and the condition column are the same\n",
                     cli_name(), t.path);
        return exit_usage;
    }

    std::unordered_map<std::string, unsigned long> seen;
    for (size_t r = 0; r < rows.size(); ++r) {
        sheet_entry entry;
        entry.sample = rows[r][sample];
        entry.condition = rows[r][condition];
        entry.line = lines[r];
        if (entry.sample.empty()) {
            std::fprintf(stderr, "%s: %s:%lu: the sample name is empty\n", cli_name(), t.path,
                         entry.line);
            return exit_data;
        }
        if (has_control(entry.sample)) {
            std::fprintf(stderr, "%s: %s:%lu: sample name \"%s\" holds a control character\n",
                         cli_name(), t.path, entry.line, entry.sample.c_str());
            return exit_data;
        }
        const auto [at, fresh] = seen.emplace(entry.sample, entry.line);
        if (!fresh) {
            std::fprintf(stderr, "%s: %s:%lu: sample %s is already on line %lu\n", cli_name(),
                         t.path, entry.line, entry.sample.c_str(), at->second);
            return exit_data;
        }
        sheet->push_back(std::move(entry));
    }
    return exit_ok;
}

}  // namespace

int read_sheet(const split_request &request, std::vector<sheet_entry> *sheet,
               std::string *chosen)
{
    text_lines t;
    int status = open_lines(request.sheet_path, &t);
    if (status == exit_ok)
        status = read_sheet_lines(request, t, sheet, chosen);
    close_lines(&t);
    return status;
}

int plan_conditions(const split_request &request, const std::vector<sheet_entry> &sheet,
                    std::vector<condition_plan> *plan)
{
    const char *shown = std::strcmp(request.sheet_path, "-") == 0 ? "standard input"
                                                                   : request.sheet_path;
    std::unordered_map<std::string, size_t> index;
    std::vector<condition_plan> all;
    for (size_t e = 0; e < sheet.size(); ++e) {
        const auto [at, fresh] = index.emplace(sheet[e].condition, all.size());
        if (fresh)
            all.push_back(condition_plan{sheet[e].condition, {}});
        all[at->second].entries.push_back(e);
    }
    plan->clear();
    if (request.conditions.empty()) {
        *plan = all;
    } else {
        for (size_t k = 0; k < request.conditions.size(); ++k) {
            const std::string &name = request.conditions[k];
            for (size_t j = 0; j < k; ++j)
                if (request.conditions[j] == name) {
                    std::fprintf(stderr, "%s: --conditions names %s twice\n", cli_name(),
                                 name.c_str());
                    return exit_usage;
                }
            const auto at = index.find(name);
            if (at == index.end()) {
                std::fprintf(stderr, "%s: --conditions: no sample of %s has condition %s\n",
                             cli_name(), shown, name.c_str());
                return exit_data;
            }
            plan->push_back(all[at->second]);
        }
    }
    for (const condition_plan &c : *plan) {
        const char *why = condition_name_fault(c.name);
        if (why != nullptr) {
            std::fprintf(stderr, "%s: %s:%lu: condition \"%s\" cannot name a table file: %s\n",
                         cli_name(), shown, sheet[c.entries[0]].line, c.name.c_str(), why);
            return exit_data;
        }
        if (request.normalize && c.name == size_factors_stem) {
            std::fprintf(stderr,
                         "%s: %s:%lu: condition \"%s\" cannot name a table file: "
                         "--normalize writes the factors to %s.tsv\n",
                         cli_name(), shown, sheet[c.entries[0]].line, c.name.c_str(),
                         size_factors_stem);
            return exit_data;
        }
    }
    if (plan->size() < 2) {
        std::fprintf(stderr, "%s: %s: only one condition (%s); mirdle compares two or more\n",
                     cli_name(), request.conditions.empty() ? shown : "--conditions",
                     (*plan)[0].name.c_str());
        return request.conditions.empty() ? exit_data : exit_usage;
    }
    if (plan->size() > static_cast<size_t>(MAX_CONDITIONS)) {
        std::fprintf(stderr, "%s: %s: %zu conditions; mirdle compares at most %d\n", cli_name(),
                     shown, plan->size(), MAX_CONDITIONS);
        return exit_data;
    }
    for (const condition_plan &c : *plan)
        if (c.entries.size() == 1)
            std::fprintf(stderr,
                         "%s: warning: condition %s has one sample (%s:%lu); every P-value of "
                         "its pairs will be 1\n",
                         cli_name(), c.name.c_str(), shown, sheet[c.entries[0]].line);
    return exit_ok;
}

namespace {

bool is_featurecounts_header(const std::vector<std::string> &header)
{
    static const char *const names[] = {"Geneid", "Chr", "Start", "End", "Strand", "Length"};
    if (header.size() < 7)
        return false;
    for (size_t k = 0; k < 6; ++k)
        if (header[k] != names[k])
            return false;
    return true;
}

// featureCounts names its columns after the alignment files.
std::string alignment_stem(std::string_view name)
{
    const size_t slash = name.rfind('/');
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    for (const char *ending : {".bam", ".sam", ".cram"}) {
        const size_t len = std::strlen(ending);
        if (name.size() > len && name.substr(name.size() - len) == ending) {
            name.remove_suffix(len);
            break;
        }
    }
    return std::string(name);
}

struct matrix_reader {
    const split_request &request;
    const std::vector<sheet_entry> &sheet;
    const std::vector<condition_plan> &plan;
    count_matrix *matrix;
    text_lines t;
    const char *sheet_shown = nullptr;
    char sep = '\t';
    size_t width = 0;
    std::vector<std::string> fields;
    std::unordered_map<std::string, unsigned long> ids;
};

// Finds the field of every planned sample and warns of sample columns that
// no sheet row names.  names[k] is the header name of data field first + k.
int match_samples(matrix_reader &r, const std::vector<std::string> &names, size_t first,
                  bool featurecounts, unsigned long header_line)
{
    std::unordered_map<std::string, size_t> exact;
    for (size_t k = 0; k < names.size(); ++k) {
        const auto [at, fresh] = exact.emplace(names[k], k);
        if (!fresh) {
            std::fprintf(stderr, "%s: %s:%lu: sample %s is in columns %zu and %zu\n", cli_name(),
                         r.t.path, header_line, names[k].c_str(), first + at->second + 1,
                         first + k + 1);
            return exit_data;
        }
    }
    // Stems that two columns share match neither.
    std::unordered_map<std::string, size_t> stems;
    if (featurecounts)
        for (size_t k = 0; k < names.size(); ++k) {
            const auto [at, fresh] = stems.emplace(alignment_stem(names[k]), k);
            if (!fresh)
                at->second = SIZE_MAX;
        }
    std::vector<size_t> column_of(r.sheet.size(), SIZE_MAX);
    std::vector<size_t> taken_by(names.size(), SIZE_MAX);
    for (size_t e = 0; e < r.sheet.size(); ++e) {
        auto at = exact.find(r.sheet[e].sample);
        if (at == exact.end()) {
            at = stems.find(r.sheet[e].sample);
            if (at == stems.end() || at->second == SIZE_MAX)
                continue;
        }
        if (taken_by[at->second] != SIZE_MAX) {
            std::fprintf(stderr, "%s: %s:%lu: samples %s and %s both name column %zu (%s) of %s\n",
                         cli_name(), r.sheet_shown, r.sheet[e].line,
                         r.sheet[taken_by[at->second]].sample.c_str(), r.sheet[e].sample.c_str(),
                         first + at->second + 1, names[at->second].c_str(), r.t.path);
            return exit_data;
        }
        taken_by[at->second] = e;
        column_of[e] = at->second;
    }
    for (const condition_plan &c : r.plan)
        for (size_t e : c.entries) {
            if (column_of[e] == SIZE_MAX) {
                std::fprintf(stderr, "%s: %s:%lu: sample %s is not a column of %s\n", cli_name(),
                             r.sheet_shown, r.sheet[e].line, r.sheet[e].sample.c_str(),
                             r.t.path);
                return exit_data;
            }
            sample_column s;
            s.sample = r.sheet[e].sample;
            s.sheet_line = r.sheet[e].line;
            s.field = first + column_of[e];
            r.matrix->samples.push_back(std::move(s));
        }
    for (size_t k = 0; k < names.size(); ++k)
        if (taken_by[k] == SIZE_MAX)
            std::fprintf(stderr, "%s: warning: %s: sample %s (column %zu) is not in %s; left out\n",
                         cli_name(), r.t.path, names[k].c_str(), first + k + 1, r.sheet_shown);
    return exit_ok;
}

int take_row(matrix_reader &r)
{
    if (r.fields.size() != r.width)
        return width_fault(r.t, r.fields.size(), r.width);
    const std::string &id = r.fields[0];
    if (id.empty())
        return line_fault(r.t, "the feature id is empty");
    if (has_control(id)) {
        std::fprintf(stderr, "%s: %s:%lu: feature id \"%s\" holds a tab or control character\n",
                     cli_name(), r.t.path, r.t.number, id.c_str());
        return exit_data;
    }
    const auto [at, fresh] = r.ids.emplace(id, r.t.number);
    if (!fresh) {
        std::fprintf(stderr, "%s: %s:%lu: feature %s is already on line %lu\n", cli_name(), r.t.path,
                     r.t.number, id.c_str(), at->second);
        return exit_data;
    }
    for (sample_column &s : r.matrix->samples) {
        const std::string_view text = trim_blanks(r.fields[s.field]);
        const count_fault fault = check_count(text);
        if (fault != count_ok) {
            static const char *const why[] = {"", "is not a number", "is negative",
                                              "is out of range for single precision"};
            std::fprintf(stderr, "%s: %s:%lu: count \"%s\" of sample %s (column %zu) %s\n",
                         cli_name(), r.t.path, r.t.number, r.fields[s.field].c_str(),
                         s.sample.c_str(), s.field + 1, why[fault]);
            return exit_data;
        }
        s.text.append(text);
        s.ends.push_back(s.text.size());
        double value = 0;
        parse_abundance(std::string(text).c_str(), &value);
        s.values.push_back(value);
    }
    r.matrix->ids.push_back(id);
    return exit_ok;
}

int read_matrix_lines(matrix_reader &r)
{
    std::string_view text;
    bool end;
    int status;
    // Comment lines before the header, as featureCounts writes.
    do {
        if ((status = next_line(&r.t, &text, &end)) != exit_ok)
            return status;
        if (end) {
            std::fprintf(stderr, "%s: %s: no header row of sample names\n", cli_name(), r.t.path);
            return exit_data;
        }
    } while (text[0] == '#');
    r.sep = r.request.matrix_sep ? r.request.matrix_sep : detect_separator(text);
    std::vector<std::string> header;
    if ((status = split_line(r.t, text, r.sep, &header)) != exit_ok)
        return status;
    const unsigned long header_line = r.t.number;
    bool featurecounts = is_featurecounts_header(header);
    if (r.request.layout == layout_featurecounts && !featurecounts)
        return line_fault(r.t, "not a featureCounts header (Geneid, Chr, Start, End, Strand, "
                               "Length, then the samples)");
    if (r.request.layout == layout_plain)
        featurecounts = false;

    if ((status = next_line(&r.t, &text, &end)) != exit_ok)
        return status;
    if (end) {
        std::fprintf(stderr, "%s: %s: a header but no feature rows\n", cli_name(), r.t.path);
        return exit_data;
    }
    if ((status = split_line(r.t, text, r.sep, &r.fields)) != exit_ok)
        return status;
    // One field more than the header: the header names only the samples, as
    // R's write.table writes it.
    const bool row_names = !featurecounts && r.fields.size() == header.size() + 1;
    const size_t first = featurecounts ? 6 : 1;
    r.width = header.size() + (row_names ? 1 : 0);
    if (r.fields.size() != r.width)
        return width_fault(r.t, r.fields.size(), header.size());
    std::vector<std::string> names(header.begin() + static_cast<long>(row_names ? 0 : first),
                                   header.end());
    if (names.empty())
        return line_fault(r.t, "no sample columns after the feature id");
    if ((status = match_samples(r, names, first, featurecounts, header_line)) != exit_ok)
        return status;
    for (;;) {
        if ((status = take_row(r)) != exit_ok)
            return status;
        if ((status = next_line(&r.t, &text, &end)) != exit_ok)
            return status;
        if (end)
            return exit_ok;
        if ((status = split_line(r.t, text, r.sep, &r.fields)) != exit_ok)
            return status;
    }
}

}  // namespace

int read_matrix(const split_request &request, const std::vector<sheet_entry> &sheet,
                const std::vector<condition_plan> &plan, count_matrix *matrix)
{
    matrix_reader r{request, sheet, plan, matrix, {}, nullptr, '\t', 0, {}, {}};
    r.sheet_shown = std::strcmp(request.sheet_path, "-") == 0 ? "standard input"
                                                               : request.sheet_path;
    int status = open_lines(request.matrix_path, &r.t);
    if (status == exit_ok)
        status = read_matrix_lines(r);
    close_lines(&r.t);
    return status;
}

namespace {

void write_count(FILE *out, const sample_column &s, size_t f)
{
    if (s.rewritten) {
        char text[ABUNDANCE_TEXT_SIZE];
        std::fputc('\t', out);
        std::fwrite(text, 1, static_cast<size_t>(format_abundance(s.values[f], text)), out);
        return;
    }
    const size_t start = f == 0 ? 0 : s.ends[f - 1];
    std::fputc('\t', out);
    std::fwrite(s.text.data() + start, 1, s.ends[f] - start, out);
}

void write_text(FILE *out, const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), out);
}

void write_one(FILE *out, const count_matrix &matrix, size_t first, size_t count)
{
    std::fputs("target_id", out);
    for (size_t k = first; k < first + count; ++k)
        std::fprintf(out, "\t%s", matrix.samples[k].sample.c_str());
    std::fputc('\n', out);
    for (size_t f = 0; f < matrix.ids.size(); ++f) {
        std::fputs(matrix.ids[f].c_str(), out);
        for (size_t k = first; k < first + count; ++k)
            write_count(out, matrix.samples[k], f);
        std::fputc('\n', out);
    }
}

}  // namespace

int write_tables(const split_request &request, const std::vector<condition_plan> &plan,
                 const count_matrix &matrix)
{
    out_dir out;
    int status = out_dir_open(&out, request.dir);
    // The factors file last, named as a table would be: no condition may
    // take its name when there are factors.
    std::vector<std::string> names;
    for (const condition_plan &c : plan)
        names.push_back(c.name + ".tsv");
    if (!matrix.factors.empty())
        names.push_back(std::string(size_factors_stem) + ".tsv");
    if (status == exit_ok)
        status = out_dir_check(out, names);
    size_t first = 0;
    for (size_t k = 0; status == exit_ok && k < names.size(); ++k) {
        FILE *f = out_dir_create(&out, names[k]);
        if (f == nullptr) {
            status = exit_cant_create;
        } else if (k == plan.size()) {
            write_text(f, size_factor_table(plan, matrix));
        } else {
            write_one(f, matrix, first, plan[k].entries.size());
            first += plan[k].entries.size();
        }
    }
    if (status == exit_ok)
        return out_dir_commit(&out);
    out_dir_abandon(&out);
    return status;
}

void warn_on_unequal_sizes(const std::vector<condition_plan> &plan,
                           const std::vector<sheet_entry> &sheet)
{
    for (size_t i = 0; i < plan.size(); ++i)
        for (size_t j = i + 1; j < plan.size(); ++j) {
            const size_t reps_i = plan[i].entries.size(), reps_j = plan[j].entries.size();
            // A condition of one sample has its own warning.
            if (reps_i == reps_j || reps_i < 2 || reps_j < 2)
                continue;
            const pair_plan p = plan_pair(reps_i, reps_j, false);
            if (p.method != pair_method::near_exact || p.pairs > near_exact_max_pairs)
                continue;
            std::string used[2], left_out;
            for (int side = 0; side < 2; ++side) {
                const condition_plan &c = plan[side == 0 ? i : j];
                for (size_t k = 0; k < c.entries.size(); ++k) {
                    std::string &to = k < p.pairs ? used[side] : left_out;
                    to += (to.empty() ? "" : ", ") + sheet[c.entries[k]].sample;
                }
            }
            std::fprintf(stderr,
                         "%s: warning: %s (%zu samples) vs %s (%zu): the near-exact P-value "
                         "uses only the first %zu of each (%s vs %s), not %s\n",
                         cli_name(), plan[i].name.c_str(), reps_i, plan[j].name.c_str(), reps_j,
                         p.pairs, used[0].c_str(), used[1].c_str(), left_out.c_str());
        }
}

int split_matrix(const split_request &request)
{
    std::vector<sheet_entry> sheet;
    std::vector<condition_plan> plan;
    count_matrix matrix;
    std::string chosen;
    int status = read_sheet(request, &sheet, &chosen);
    if (status == exit_ok)
        status = plan_conditions(request, sheet, &plan);
    if (status == exit_ok)
        status = read_matrix(request, sheet, plan, &matrix);
    if (status != exit_ok)
        return status;
    if (request.normalize && (status = normalize_matrix(request, &matrix)) != exit_ok)
        return status;
    if (request.step != nullptr)
        for (sample_column &s : matrix.samples)
            if ((status = request.step(&s, matrix.ids.size(), request.step_context)) != exit_ok)
                return status;
    if ((status = write_tables(request, plan, matrix)) != exit_ok)
        return status;

    std::string command = "dranvel mirdle --output " +
                          shell_word((std::string(request.dir) +
                                      (std::string(request.dir).back() == '/' ? "" : "/")) +
                                     "report.txt");
    if (!chosen.empty())
        std::fprintf(stderr, "%s: conditions from column \"%s\" of %s\n", cli_name(),
                     chosen.c_str(),
                     std::strcmp(request.sheet_path, "-") == 0 ? "standard input"
                                                                : request.sheet_path);
    for (const condition_plan &c : plan) {
        const std::string path = table_path(request.dir, c.name);
        std::fprintf(stderr, "%s: %s: %zu sample%s, %zu features in %s\n", cli_name(),
                     c.name.c_str(), c.entries.size(), c.entries.size() == 1 ? "" : "s",
                     matrix.ids.size(), path.c_str());
        command += " " + shell_word(path);
    }
    if (!matrix.factors.empty()) {
        std::fprintf(stderr, "%s: counts divided by the size factors (%s) in %s:\n%s",
                     cli_name(), size_factor_method_name(request.method),
                     table_path(request.dir, size_factors_stem).c_str(),
                     size_factor_table(plan, matrix).c_str());
        warn_on_factor_spread(plan, matrix);
    }
    warn_on_unequal_sizes(plan, sheet);
    std::printf("%s\n", command.c_str());
    return exit_ok;
}
