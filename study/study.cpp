#include "study.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "adjust.h"
#include "exit_status.h"
#include "mirdle/method.h"
#include "mirdle/mirdle.h"
#include "mirdle/tables.h"
#include "vp_alloc.h"
#include "vp_stream.h"

namespace {

void size_study(const report &r, study *s)
{
    s->conditions = r.conditions;
    s->rows = r.rows;
    s->pairs = r.pairs;
    const size_t n = static_cast<size_t>(r.conditions);
    s->reps.assign(n, 0);
    s->mean.assign(r.rows * n, NAN);
    s->sd_over_mean.assign(r.rows * n, NAN);
    s->fc.assign(r.rows * r.pairs, NAN);
    s->log2fc.assign(r.rows * r.pairs, NAN);
    s->pvalue.assign(r.rows * r.pairs, NAN);
    s->padj.assign(r.rows * r.pairs, NAN);
    s->all_zero.assign(r.rows * r.pairs, 0);
    s->in_adjustment.assign(r.pairs, 0);
    for (size_t row = 0; row < r.rows; ++row)
        for (size_t pair = 0; pair < r.pairs; ++pair)
            s->pvalue[study_at(*s, row, pair)] =
                r.values[row * r.columns + pvalue_column(r.conditions, pair)];
}

// Without the tables the report's text is all there is: its rounded means
// and SD/C, and its fold change, the ratio of the sums.
void from_report(const report &r, study *s)
{
    const int n = r.conditions;
    for (size_t row = 0; row < r.rows; ++row) {
        const double *v = &r.values[row * r.columns];
        for (int c = 0; c < n; ++c) {
            s->mean[row * static_cast<size_t>(n) + static_cast<size_t>(c)] = v[mean_column(c)];
            s->sd_over_mean[row * static_cast<size_t>(n) + static_cast<size_t>(c)] =
                v[sdc_column(n, c)];
        }
        for (size_t pair = 0; pair < r.pairs; ++pair) {
            const size_t at = study_at(*s, row, pair);
            s->fc[at] = v[fc_column(n, pair)];
            s->log2fc[at] = v[log2fc_column(n, pair)];
            s->all_zero[at] = r.texts[row * r.columns + fc_column(n, pair)] == "*";
        }
    }
}

// A report drops the padding of ids up to 20 characters, and with it any
// trailing blanks of their own.
bool same_id(std::string_view table_id, const std::string &report_id)
{
    if (table_id.size() <= 20)
        while (!table_id.empty() && table_id.back() == ' ')
            table_id.remove_suffix(1);
    return table_id == report_id;
}

// Holds the reader's streams and buffers for the length of one read.
struct open_tables {
    std::vector<FILE *> streams;
    std::vector<const char *> paths;
    table_reader reader{};
    bool set_up = false;

    ~open_tables()
    {
        if (set_up)
            release_tables(reader);
        for (FILE *f : streams)
            vp_fclose(f);
    }
};

int table_fault(const char *program, const read_fault &fault)
{
    // The reader speaks as mirdle; here the same fault is the table's.
    std::string_view text(fault.message.data ? fault.message.data : "",
                          fault.message.data ? fault.message.len : 0);
    if (text.substr(0, 8) == "mirdle: ")
        text.remove_prefix(8);
    while (!text.empty() && (text.back() == '\n' || text.back() == '.'))
        text.remove_suffix(1);
    std::fprintf(stderr, "%s: --tables: %.*s\n", program, static_cast<int>(text.size()),
                 text.data());
    return fault.status;
}

// One condition's abundances of the current feature at full precision: the
// reader has checked each field with mirdle's single-precision conversion,
// which takes the same text as the double one.
struct condition_row {
    double sum = 0, mean = 0, sd = 0;
    bool all_zero = true;
};

// values: room for reps doubles, reused from row to row.
condition_row read_condition(const vp_dsv_line *line, size_t reps, double *values)
{
    condition_row c;
    for (size_t k = 0; k < reps; ++k) {
        values[k] = std::strtod(vp_dsv_line_get_fields_ae(line, k + 1), nullptr);
        c.sum += values[k];
        c.all_zero = c.all_zero && values[k] == 0.0;
    }
    c.mean = mean_of(c.sum, reps);
    double squares = 0.0;
    for (size_t k = 0; k < reps; ++k)
        squares += (values[k] - c.mean) * (values[k] - c.mean);
    c.sd = std::sqrt(squares / static_cast<double>(reps));
    return c;
}

void take_feature(const table_reader &t, size_t row, study *s, std::vector<double> *pair_sums,
                  std::vector<double> *values)
{
    const size_t n = t.n;
    condition_row rows[MAX_CONDITIONS];
    for (size_t c = 0; c < n; ++c) {
        if (values->size() < t.reps[c])
            values->resize(t.reps[c]);
        rows[c] = read_condition(condition_line(t, c), t.reps[c], values->data());
        s->mean[row * n + c] = rows[c].mean;
        s->sd_over_mean[row * n + c] = sd_over_mean(rows[c].sd, rows[c].mean);
    }
    for (size_t pair = 0; pair < s->pairs; ++pair) {
        int a, b;
        pair_members(s->conditions, pair, &a, &b);
        const size_t at = study_at(*s, row, pair);
        s->fc[at] = rows[b].mean / rows[a].mean;
        s->log2fc[at] = std::log2(s->fc[at]);
        s->all_zero[at] = rows[a].all_zero && rows[b].all_zero;
        (*pair_sums)[at] = rows[a].sum + rows[b].sum;
    }
}

int from_tables(const char *program, const report &r, const study_options &o, study *s,
                std::vector<double> *pair_sums)
{
    const size_t n = static_cast<size_t>(r.conditions);
    if (o.tables.size() != n) {
        std::fprintf(stderr, "%s: --tables gives %zu tables, the report has %d conditions\n",
                     program, o.tables.size(), r.conditions);
        return exit_usage;
    }
    open_tables t;
    for (const std::string &path : o.tables) {
        FILE *f = vp_fopen(path.c_str(), "r");
        if (f == nullptr) {
            std::fprintf(stderr, "%s: --tables: cannot open %s: %s\n", program, path.c_str(),
                         std::strerror(errno));
            return exit_no_input;
        }
        t.streams.push_back(f);
        t.paths.push_back(path.c_str());
    }
    read_fault fault;
    t.set_up = true;
    if (set_up_tables(t.reader, t.streams.data(), t.paths.data(), n, fault) != 0)
        return table_fault(program, fault);
    pair_sums->assign(r.rows * r.pairs, 0.0);
    std::vector<double> values;
    for (size_t row = 0;; ++row) {
        const read_result got = read_feature(t.reader, fault);
        if (got == read_result::fault)
            return table_fault(program, fault);
        if (got == read_result::end) {
            if (row == r.rows)
                break;
            std::fprintf(stderr, "%s: --tables: the tables end after %zu features, the report "
                                 "has %zu\n",
                         program, row, r.rows);
            return exit_data;
        }
        if (row == r.rows) {
            std::fprintf(stderr, "%s: --tables: the tables hold more features than the "
                                 "report's %zu\n",
                         program, r.rows);
            return exit_data;
        }
        const char *id = feature_id(t.reader);
        if (!same_id(id, r.ids[row])) {
            std::fprintf(stderr, "%s: --tables: feature %zu is \"%s\" in the tables and \"%s\" "
                                 "in the report\n",
                         program, row + 1, id, r.ids[row].c_str());
            return exit_data;
        }
        take_feature(t.reader, row, s, pair_sums, &values);
    }
    for (size_t c = 0; c < n; ++c)
        s->reps[c] = t.reader.reps[c];
    return exit_ok;
}

void adjust(const study_options &o, const std::vector<double> &pair_sums, study *s)
{
    std::vector<double> p, padj;
    std::vector<size_t> rows;
    for (size_t pair = 0; pair < s->pairs; ++pair) {
        p.clear();
        rows.clear();
        for (size_t row = 0; row < s->rows; ++row) {
            const size_t at = study_at(*s, row, pair);
            if (std::isnan(s->pvalue[at]) || s->all_zero[at])
                continue;
            if (!pair_sums.empty() && !(pair_sums[at] >= o.min_count))
                continue;
            p.push_back(s->pvalue[at]);
            rows.push_back(row);
        }
        padj.resize(p.size());
        bh_adjust(p.data(), p.size(), padj.data());
        for (size_t k = 0; k < rows.size(); ++k)
            s->padj[study_at(*s, rows[k], pair)] = padj[k];
        s->in_adjustment[pair] = rows.size();
    }
}

}  // namespace

int load_study(const char *program, const report &r, const study_options &options, study *s)
{
    if (options.min_count > 0.0 && options.tables.empty()) {
        std::fprintf(stderr, "%s: --min-count needs --tables: the sums come from the tables\n",
                     program);
        return exit_usage;
    }
    size_study(r, s);
    std::vector<double> pair_sums;
    if (options.tables.empty()) {
        from_report(r, s);
    } else {
        const int status = from_tables(program, r, options, s, &pair_sums);
        if (status != exit_ok)
            return status;
    }
    adjust(options, pair_sums, s);
    return exit_ok;
}
