#include "split.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "abundance_text.h"
#include "cli.h"
#include "lines.h"

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
    r.sheet_shown = cli_input_name(request.sheet_path);
    int status = open_lines(request.matrix_path, &r.t);
    if (status == exit_ok)
        status = read_matrix_lines(r);
    close_lines(&r.t);
    return status;
}
