// The whole mirdle driver, compare_abundances, on 2 to 4 tables of arbitrary
// bytes held in memory, with the report in a memory stream.  An independent
// model of the table rules predicts the outcome: the status, the one message
// of a failure, how many rows are reported before it, and every column of
// every row except the P-values, which must lie in [0, 1].
//
// Input: the tables, separated by the three bytes "==\n" (one piece is used
// as both tables; a fifth and later piece stay part of the fourth table).  A
// first byte "!" stands for --near-exact, whose limit of 12 replicates ends
// the process (exit is caught, see track_alloc.cpp) with status 64.
// Inputs whose near-exact P-values would cost more than about a tenth of a second
// (sampled counting for 5 to 12 pairs walks millions of combinations) are
// skipped after the model has judged them.

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "mirdle.h"
#include "pvalue.h"
#include "track_alloc.h"

bool Debug = false;

using namespace fuzz;

namespace {

constexpr size_t max_tables = 4;

std::vector<std::string> split_tables(const std::string &input)
{
    static const std::string sep = "==\n";
    std::vector<std::string> tables;
    size_t start = 0;
    while (tables.size() + 1 < max_tables) {
        size_t at = input.find(sep, start);
        if (at == std::string::npos)
            break;
        tables.push_back(input.substr(start, at - start));
        start = at + sep.size();
    }
    tables.push_back(input.substr(start));
    if (tables.size() == 1)
        tables.push_back(tables[0]);
    return tables;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::string s(buf, n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
    if (n >= static_cast<int>(sizeof buf)) {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        va_start(ap, fmt);
        std::vsnprintf(big.data(), big.size(), fmt, ap);
        va_end(ap);
        s.assign(big.data(), static_cast<size_t>(n));
    }
    return s;
}

// The row of one table for one feature, as the model reads it.
struct row_values {
    std::string id;
    size_t reps = 0;
    double sum = 0.0;
    double sd = 0.0;
    std::vector<double> values;
};

// The predicted outcome of one run.
struct outcome {
    int status = 0;
    std::string message;       // the failure's one line
    bool header = false;       // the report's header row is written
    std::vector<std::vector<row_values>> rows;  // reported rows, per condition
    // The near-exact limit: the row cut after the fold change columns of
    // pair number cut_pair (counted in report order).
    bool cut = false;
    std::vector<row_values> cut_row;
    size_t cut_pair = 0;
    // Once the first feature is read whole: each table's replicate count
    // and its header's column names, for the warning of unequal sizes.
    std::vector<size_t> first_reps;
    std::vector<std::vector<std::string>> columns;
};

// Parses one data row of condition c against the rules; on failure fills
// the message.
bool model_row(const std::string &line, size_t c, bool first, size_t &reps, row_values &out,
               std::string &message, const std::string &path)
{
    std::vector<std::string> fields = split_fields(line);
    out.id = fields[0];
    size_t r = fields.size() - 1;
    if (first) {
        if (r == 0) {
            message = format("mirdle: No abundance columns on condition %zu (%s) for %s\n", c,
                             path.c_str(), out.id.c_str());
            return false;
        }
        reps = r;
    } else if (r != reps) {
        message = format("mirdle: Wrong number of abundances on condition %zu for %s: %zu, "
                         "expected %zu\n",
                         c, out.id.c_str(), r, reps);
        return false;
    }
    std::vector<double> v(r);
    double sum = 0.0;
    for (size_t k = 0; k < r; ++k) {
        char *end;
        v[k] = std::strtof(fields[k + 1].c_str(), &end);
        if (*end != '\0') {
            message = "mirdle: Invalid abundance: " + fields[k + 1] + "\n";
            return false;
        }
        sum = std::isnan(sum) ? sum : sum + v[k];  // the first NaN met stays
    }
    double mean = sum / static_cast<double>(r);
    double squares = 0.0;
    for (size_t k = 0; k < r; ++k)
        squares = std::isnan(squares) ? squares : squares + (v[k] - mean) * (v[k] - mean);
    out.reps = r;
    out.values = v;
    out.sum = sum;
    out.sd = std::sqrt(squares / static_cast<double>(r));
    return true;
}

outcome model(const std::vector<std::string> &tables, const std::vector<std::string> &paths,
              bool near_exact)
{
    outcome o;
    const size_t n = tables.size();
    std::vector<std::vector<std::string>> data(n);
    for (size_t c = 0; c < n; ++c) {
        std::vector<std::string> lines = split_table_lines(tables[c]);
        if (lines.empty() || lines[0].find('\0') != std::string::npos) {
            o.status = 65;
            o.message = "mirdle: Error reading first feature.\n";
            return o;
        }
        std::vector<std::string> head = split_fields(lines[0]);
        size_t skip = head[0] == "target_id" ? 1 : 0;
        o.columns.emplace_back(skip ? head.begin() + 1 : head.end(), head.end());
        data[c].assign(lines.begin() + static_cast<long>(skip), lines.end());
    }
    o.header = true;
    std::vector<size_t> reps(n, 0);
    auto fail = [&](int status, std::string message) {
        o.status = status;
        o.message = std::move(message);
        return o;
    };
    for (size_t i = 0;; ++i) {
        if (i == data[0].size()) {
            for (size_t c = 1; c < n; ++c)
                if (data[c].size() > i)
                    return fail(65, format("mirdle: Expected EOF on condition %zu after EOF on "
                                           "condition 0.\n",
                                           c));
            return o;
        }
        std::vector<row_values> row(n);
        std::string message;
        for (size_t c = 0; c < n; ++c) {
            if (c > 0 && i == data[c].size())
                return fail(65, format("mirdle: Found EOF first on condition %zu, should be 0.\n",
                                       c));
            const std::string &line = data[c][i];
            if (line.find('\0') != std::string::npos)
                return fail(65, format("mirdle: Expected newline on condition stream %zu\n", c));
            if (c > 0) {
                std::string id = split_fields(line)[0];
                if (id != row[0].id)
                    return fail(65, "mirdle: Abundances files out of sync: " + row[0].id + " " +
                                        id + "\n");
            }
            if (!model_row(line, c, i == 0, reps[c], row[c], message, paths[c]))
                return fail(65, message);
        }
        if (i == 0)
            o.first_reps = reps;
        if (near_exact) {
            size_t pair = 0;
            for (size_t a = 0; a + 1 < n; ++a)
                for (size_t b = a + 1; b < n; ++b, ++pair)
                    if (row[a].reps > near_exact_max_pairs) {
                        o.cut = true;
                        o.cut_row = row;
                        o.cut_pair = pair;
                        return fail(64, "Current limit for near-exact P-values is 12 replicates.\n");
                    }
        }
        o.rows.push_back(std::move(row));
    }
}

// Does the pair go to near_exact_pval with more than 12 pairs, which answers
// with a message of its own?
bool refused_pair(size_t reps_i, size_t reps_j, bool near_exact)
{
    if (near_exact || (reps_i >= mann_whitney_min_reps && reps_j >= mann_whitney_min_reps))
        return false;
    size_t pairs = reps_i <= near_exact_max_pairs && reps_j < reps_i ? reps_j : reps_i;
    return pairs > near_exact_max_pairs;
}

// The warning once the first feature is read: every near-exact pair of
// conditions of different sizes, and the replicates it leaves out.
std::string unequal_sizes_warning(const outcome &o, const std::vector<std::string> &paths,
                                  bool near_exact)
{
    std::string out;
    const std::vector<size_t> &r = o.first_reps;
    auto left_out = [&](size_t c, size_t used) {
        std::string names;
        for (size_t k = used; k < r[c]; ++k)
            names += (k > used ? ", " : "") +
                     (k < o.columns[c].size() ? o.columns[c][k] : format("column %zu", k + 2));
        return names + " of " + paths[c];
    };
    for (size_t i = 0; i + 1 < r.size(); ++i)
        for (size_t j = i + 1; j < r.size(); ++j) {
            if (r[i] == r[j])
                continue;
            const bool exact =
                near_exact || r[i] < mann_whitney_min_reps || r[j] < mann_whitney_min_reps;
            const size_t pairs = r[i] <= near_exact_max_pairs && r[j] < r[i] ? r[j] : r[i];
            if (!exact || pairs < 2 || pairs > near_exact_max_pairs)
                continue;
            std::string leaves = r[i] > pairs ? left_out(i, pairs) : "";
            if (r[j] > pairs)
                leaves += (leaves.empty() ? "" : " and ") + left_out(j, pairs);
            out += format("mirdle: warning: conditions %zu and %zu differ in size (%zu and %zu "
                          "replicates): the near-exact P-value of %zu-%zu uses only the first %zu "
                          "of each and leaves out %s\n",
                          i + 1, j + 1, r[i], r[j], i + 1, j + 1, pairs, leaves.c_str());
        }
    return out;
}

// Rough cost of one near-exact P-value, in units of the exhaustive count for
// 4 pairs; 0 where it is cheap or not near-exact at all.
unsigned pair_cost(size_t reps_i, size_t reps_j, bool near_exact)
{
    if (!near_exact && reps_i >= mann_whitney_min_reps && reps_j >= mann_whitney_min_reps)
        return 0;
    size_t pairs = reps_i <= near_exact_max_pairs && reps_j < reps_i ? reps_j : reps_i;
    static const unsigned cost[near_exact_max_pairs + 1] = {0, 0, 0, 0, 1, 6, 12, 24, 30, 36, 42, 48, 54};
    return pairs <= near_exact_max_pairs ? cost[pairs] : 0;
}
constexpr unsigned cost_budget = 12;

// Checks one report row against the model; the P-values only by range.
// With cut_pair set, the row must end right after the fold change columns
// of that pair (the near-exact limit).
// Whether the counts that the pair's P-value reads, as the row gives them,
// hold a NaN: then it has none, and the report prints nan.
bool reads_nan(const row_values &a, const row_values &b, bool near_exact)
{
    const bool mann_whitney =
        !near_exact && a.reps >= mann_whitney_min_reps && b.reps >= mann_whitney_min_reps;
    const size_t pairs = a.reps <= near_exact_max_pairs && b.reps < a.reps ? b.reps : a.reps;
    auto any = [](const row_values &r, size_t n) {
        for (size_t k = 0; k < n && k < r.values.size(); ++k)
            if (std::isnan(r.values[k]))
                return true;
        return false;
    };
    return mann_whitney ? any(a, a.reps) || any(b, b.reps) : any(a, pairs) || any(b, pairs);
}

bool row_holds_nan(const std::vector<row_values> &row)
{
    for (const row_values &r : row)
        for (double v : r.values)
            if (std::isnan(v))
                return true;
    return false;
}

void check_row(const std::string &got, const std::vector<row_values> &row, size_t index,
               bool near_exact, size_t cut_pair = SIZE_MAX)
{
    const size_t n = row.size();
    std::string want = format("%-20s", row[0].id.c_str());
    for (size_t c = 0; c < n; ++c)
        want += format(" %7.1f", row[c].sum / static_cast<double>(row[c].reps));
    for (size_t c = 0; c < n; ++c) {
        double mnc = row[c].sum / static_cast<double>(row[c].reps);
        want += format(" %6.1f", mnc == 0.0 ? 0.0 : row[c].sd / mnc);
    }
    size_t pos = 0;
    auto expect_text = [&](const std::string &text) {
        require(got.compare(pos, text.size(), text) == 0, "a report row differs from the model",
                "row " + std::to_string(index) + ": got [" + got + "], expected prefix [" +
                    got.substr(0, pos) + text + "]");
        pos += text.size();
    };
    expect_text(want);
    size_t pair = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        for (size_t j = i + 1; j < n; ++j, ++pair) {
            if (row[i].sum == 0.0 && row[j].sum == 0.0) {
                expect_text(format(" %7s %7s", "*", "*"));
            } else {
                double fc = row[j].sum / row[i].sum;
                expect_text(format(" %7.2f %7.2f", fc, std::log2(fc)));
            }
            if (pair == cut_pair) {
                require(pos == got.size(), "the row goes on after the near-exact limit", got);
                return;
            }
            expect_text("  ");
            const std::string nan_text = format("%7.5f", NAN);
            if (reads_nan(row[i], row[j], near_exact)) {
                expect_text(nan_text);
                continue;
            }
            // A NaN elsewhere in the row reaches this pair through the zeros
            // an earlier pair replaced, which the model does not follow.
            if (row_holds_nan(row) && got.compare(pos, nan_text.size(), nan_text) == 0) {
                pos += nan_text.size();
                continue;
            }
            size_t end = got.find(' ', pos);
            std::string token = got.substr(pos, end == std::string::npos ? end : end - pos);
            char *stop;
            double p = std::strtod(token.c_str(), &stop);
            require(!token.empty() && *stop == '\0' && p >= 0.0 && p <= 1.0 &&
                        format("%7.5f", p) == token,
                    "a P-value outside [0, 1] or not printed as %7.5f",
                    "row " + std::to_string(index) + ": [" + token + "]");
            pos += token.size();
        }
    }
    require(pos == got.size(), "a report row has more columns than the header promises",
            "row " + std::to_string(index) + ": [" + got + "]");
}

std::string header_row(size_t n)
{
    std::string h = format("%-20s", "Feature");
    for (size_t c = 1; c <= n; ++c)
        h += format(" %6s%zu", "MNC", c);
    for (size_t c = 1; c <= n; ++c)
        h += format(" %5s%zu", "SD/C", c);
    for (size_t a = 1; a < n; ++a)
        for (size_t b = a + 1; b <= n; ++b)
            h += format("  FC %zu-%zu log2(FC) %5s", a, b, "P-val");
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const bool near_exact = size > 0 && data[0] == '!';
    if (near_exact)
        ++data, --size;
    const std::vector<std::string> tables =
        split_tables(std::string(reinterpret_cast<const char *>(data), size));
    const size_t n = tables.size();
    std::vector<std::string> paths;
    for (size_t c = 0; c < n; ++c)
        paths.push_back("table" + std::to_string(c) + ".tsv");
    const outcome want = model(tables, paths, near_exact);
    unsigned cost = 0;
    for (const auto &row : want.rows)
        for (size_t i = 0; i + 1 < n; ++i)
            for (size_t j = i + 1; j < n; ++j)
                cost += pair_cost(row[i].reps, row[j].reps, near_exact);
    // The pairs of a row cut at the near-exact limit that come before the cut.
    if (want.cut) {
        size_t pair = 0;
        for (size_t i = 0; i + 1 < n; ++i)
            for (size_t j = i + 1; j < n; ++j, ++pair)
                if (pair < want.cut_pair)
                    cost += pair_cost(want.cut_row[i].reps, want.cut_row[j].reps, near_exact);
    }
    if (cost > cost_budget)
        return 0;

    FILE *streams[max_tables];
    const char *path_ptrs[max_tables];
    for (size_t c = 0; c < n; ++c) {
        streams[c] = open_text(tables[c]);
        require(streams[c] != nullptr, "cannot open a table in memory");
        path_ptrs[c] = paths[c].c_str();
    }
    char *report_buf = nullptr;
    size_t report_len = 0;
    FILE *report = open_memstream(&report_buf, &report_len);
    require(report != nullptr, "open_memstream failed");

    int status;
    std::string messages;
    {
        capture err(stderr);
        std::jmp_buf on_exit;
        if (int jumped = setjmp(on_exit)) {
            status = jumped - 1;
        } else {
            catch_exit(&on_exit);
            status =
                compare_abundances(streams, path_ptrs, static_cast<int>(n), report, near_exact);
        }
        catch_exit(nullptr);
        messages = err.finish();
    }
    if (status != 0) {
        for (size_t c = 0; c < n; ++c)
            std::fclose(streams[c]);
        std::fclose(report);
    }
    const std::string text(report_buf, report_len);
    std::free(report_buf);
    release_run_blocks();

    require(status == 0 || status == 65 || status == 69 || status == 74 ||
                (status == 64 && near_exact),
            "status outside 0, 65, 69, 74 (64 with --near-exact)", std::to_string(status));
    require(status == want.status, "status differs from the model",
            std::to_string(status) + " instead of " + std::to_string(want.status) +
                "; stderr: " + messages);

    // Standard error, in the order it is written: per reported row the
    // library's refusals (one per pair it refuses), then the progress mark
    // when the row count reaches a multiple of 100; at the end the closing
    // newline (standard output not a terminal) or the failure's one line.
    static const std::string refusal = "near_exact_pval(): Use mann_whitney_pval() for reps > 12.\n";
    const bool terminal = isatty(1);
    std::string want_err = unequal_sizes_warning(want, paths, near_exact);
    for (size_t k = 0; k < want.rows.size(); ++k) {
        const auto &row = want.rows[k];
        for (size_t i = 0; i + 1 < n; ++i)
            for (size_t j = i + 1; j < n; ++j)
                if (refused_pair(row[i].reps, row[j].reps, near_exact))
                    want_err += refusal;
        if ((k + 1) % 100 == 0)
            want_err += terminal ? std::to_string(k + 1) + "\r" : std::string(".");
    }
    if (status == 0)
        want_err += terminal ? "" : "\n";
    else
        want_err += want.message;
    const std::string &rest = messages;
    require(rest == want_err, "standard error differs from the model",
            "got [" + rest + "], expected [" + want_err + "]");

    // The report: the header once set-up passed, then one complete row per
    // feature read before the end or the failure, nothing else.
    std::vector<std::string> rows = split_lines(text);
    require(text.empty() || (text.back() == '\n') != want.cut,
            want.cut ? "the report does not end inside the cut row" : "the report ends inside a row");
    require(rows.size() == (want.header ? 1 : 0) + want.rows.size() + (want.cut ? 1 : 0),
            "the report's row count differs from the features read",
            std::to_string(rows.size()) + " rows for " + std::to_string(want.rows.size()) +
                " features");
    if (want.header)
        require(rows[0] == header_row(n), "the header row differs", rows[0]);
    for (size_t i = 0; i < want.rows.size(); ++i)
        check_row(rows[i + 1], want.rows[i], i, near_exact);
    if (want.cut)
        check_row(rows.back(), want.cut_row, want.rows.size(), near_exact, want.cut_pair);
    return 0;
}
