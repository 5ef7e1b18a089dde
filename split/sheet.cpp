#include "split.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cli.h"
#include "lines.h"
#include "vp_limits.h"

namespace {

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
    const char *shown = cli_input_name(request.sheet_path);
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
