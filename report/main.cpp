// report: one self-contained HTML file from a finished analysis (the
// directory dranvel analyze writes): its numbers as JSON, deflated and in
// base64, beside the charting library and the page's own script and style.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include "cli.h"
#include "method.h"
#include "pvalue.h"
#include "report_reader.h"
#include "split.h"
#include "study.h"
#include "suite_version.h"
#include "vp_replace.h"

bool Debug = false;

extern "C" const char report_echarts[], report_page_js[], report_page_css[];

namespace {

struct options {
    const char *output = nullptr;
    const char *dir = nullptr;
};

options o;

const cli_option option_table[] = {
    {"--output", 'o', cli_kind::string, &o.output, "FILE",
     "write to FILE (default: DIR/report.html)"},
};

const cli_command command = {
    "[options] DIR",
    "Writes one HTML file, every script, style and datum inside, from the analysis\n"
    "in DIR as dranvel analyze writes it: provenance, sample QC (library sizes,\n"
    "size factors, distributions, PCA, sample distances, SD/C), and per pair the\n"
    "counts at the threshold, MA and volcano plots, the P-value histogram, every\n"
    "feature in a table, and what the P-values can say for this design.\n",
    option_table,
    std::size(option_table),
};

std::string in_dir(const std::string &name) { return std::string(o.dir) + "/" + name; }

bool read_file(const std::string &path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

std::vector<std::string> tabs(const std::string &line)
{
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        const size_t end = line.find('\t', at);
        fields.push_back(line.substr(at, end == std::string::npos ? end : end - at));
        if (end == std::string::npos)
            return fields;
        at = end + 1;
    }
}

// One condition table as split writes it: a header of sample names, then an
// id and one value per sample on every row.
struct table {
    std::vector<std::string> samples, ids;
    std::vector<std::vector<double>> values;  // per sample
};

int read_table(const std::string &path, table *t)
{
    std::string text;
    if (!read_file(path, &text))
        return cli_errno_fail(exit_no_input, errno, "cannot open %s", path.c_str());
    const std::vector<std::string> lines = lines_of(text);
    if (lines.empty())
        return cli_fail(exit_data, "%s: empty table", path.c_str());
    std::vector<std::string> head = tabs(lines[0]);
    t->samples.assign(head.begin() + 1, head.end());
    t->values.assign(t->samples.size(), {});
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = tabs(lines[i]);
        if (f.size() != head.size())
            return cli_fail(exit_data, "%s:%zu: %zu fields, the header has %zu", path.c_str(),
                            i + 1, f.size(), head.size());
        t->ids.push_back(f[0]);
        for (size_t k = 0; k + 1 < f.size(); ++k)
            t->values[k].push_back(std::strtod(f[k + 1].c_str(), nullptr));
    }
    return exit_ok;
}

// Average-linkage clustering of the samples; the leaves in the order of the
// merge tree, so that near samples sit together in the heatmap.
std::vector<int> cluster_order(const std::vector<std::vector<double>> &d)
{
    const size_t n = d.size();
    std::vector<std::vector<int>> groups(n);
    for (size_t i = 0; i < n; ++i)
        groups[i] = {static_cast<int>(i)};
    auto linkage = [&](const std::vector<int> &a, const std::vector<int> &b) {
        double s = 0;
        for (int x : a)
            for (int y : b)
                s += d[x][y];
        return s / static_cast<double>(a.size() * b.size());
    };
    while (groups.size() > 1) {
        size_t best_a = 0, best_b = 1;
        double best = HUGE_VAL;
        for (size_t a = 0; a < groups.size(); ++a)
            for (size_t b = a + 1; b < groups.size(); ++b) {
                const double l = linkage(groups[a], groups[b]);
                if (l < best)
                    best = l, best_a = a, best_b = b;
            }
        groups[best_a].insert(groups[best_a].end(), groups[best_b].begin(), groups[best_b].end());
        groups.erase(groups.begin() + static_cast<long>(best_b));
    }
    return groups.empty() ? std::vector<int>{} : groups[0];
}

// The five numbers of a box plot.
nlohmann::json box_of(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto q = [&](double p) {
        const double at = p * static_cast<double>(v.size() - 1);
        const size_t lo = static_cast<size_t>(at);
        const size_t hi = std::min(lo + 1, v.size() - 1);
        return v[lo] + (v[hi] - v[lo]) * (at - static_cast<double>(lo));
    };
    return {q(0), q(0.25), q(0.5), q(0.75), q(1)};
}

void add_qc(const std::vector<std::vector<double>> &norm, const std::vector<std::string> &ids,
            nlohmann::json *j)
{
    const size_t n = norm.size(), rows = n ? norm[0].size() : 0;
    std::vector<std::vector<double>> logs(n, std::vector<double>(rows));
    for (size_t s = 0; s < n; ++s)
        for (size_t r = 0; r < rows; ++r)
            logs[s][r] = std::log2(norm[s][r] + 1.0);
    nlohmann::json boxes = nlohmann::json::array();
    for (size_t s = 0; s < n; ++s)
        boxes.push_back(box_of(logs[s]));
    (*j)["boxes"] = boxes;

    // PCA over the 500 features of largest variance across the samples.
    std::vector<double> variance(rows, 0.0);
    for (size_t r = 0; r < rows; ++r) {
        double mean = 0;
        for (size_t s = 0; s < n; ++s)
            mean += logs[s][r];
        mean /= static_cast<double>(n);
        for (size_t s = 0; s < n; ++s)
            variance[r] += (logs[s][r] - mean) * (logs[s][r] - mean);
    }
    std::vector<size_t> order(rows);
    std::iota(order.begin(), order.end(), 0);
    const size_t top = std::min<size_t>(500, rows);
    // Equal variances are ordered by id, so that the features chosen, and
    // the order they are summed in, do not depend on where rows stand.
    std::partial_sort(order.begin(), order.begin() + static_cast<long>(top), order.end(),
                      [&](size_t a, size_t b) {
                          if (variance[a] != variance[b])
                              return variance[a] > variance[b];
                          return ids[a] < ids[b];
                      });
    Eigen::MatrixXd x(n, top);
    for (size_t k = 0; k < top; ++k) {
        double mean = 0;
        for (size_t s = 0; s < n; ++s)
            mean += logs[s][order[k]];
        mean /= static_cast<double>(n);
        for (size_t s = 0; s < n; ++s)
            x(static_cast<long>(s), static_cast<long>(k)) = logs[s][order[k]] - mean;
    }
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(x * x.transpose());
    const Eigen::VectorXd values = eig.eigenvalues().reverse();
    const Eigen::MatrixXd vectors = eig.eigenvectors().rowwise().reverse();
    const double total = std::max(values.sum(), 1e-300);
    nlohmann::json share = nlohmann::json::array(), pc1 = nlohmann::json::array(),
                   pc2 = nlohmann::json::array();
    for (long c = 0; c < values.size(); ++c)
        share.push_back(std::max(values(c), 0.0) / total);
    for (size_t s = 0; s < n; ++s) {
        const long i = static_cast<long>(s);
        pc1.push_back(vectors(i, 0) * std::sqrt(std::max(values(0), 0.0)));
        pc2.push_back(n > 1 ? vectors(i, 1) * std::sqrt(std::max(values(1), 0.0)) : 0.0);
    }
    (*j)["pca"] = {{"features", top}, {"share", share}, {"pc1", pc1}, {"pc2", pc2}};

    // Summed in the order of the ids, for the same reason.
    std::vector<size_t> by_id(rows);
    std::iota(by_id.begin(), by_id.end(), 0);
    std::stable_sort(by_id.begin(), by_id.end(), [&](size_t a, size_t b) { return ids[a] < ids[b]; });
    std::vector<std::vector<double>> d(n, std::vector<double>(n, 0.0));
    for (size_t a = 0; a < n; ++a)
        for (size_t b = a + 1; b < n; ++b) {
            double s = 0;
            for (const size_t r : by_id)
                s += (logs[a][r] - logs[b][r]) * (logs[a][r] - logs[b][r]);
            d[a][b] = d[b][a] = std::sqrt(s);
        }
    (*j)["distances"] = d;
    (*j)["cluster_order"] = cluster_order(d);
}

// The smallest P-value a pair's method can give for these replicate counts:
// the P-value library itself on the most extreme configuration, every count
// of the first condition below every count of the second, all distinct
// (1, 2, ... against 1001, 1002, ...).  Sampled near-exact counting draws from
// the stream seeded by those counts, so the figure is the same run to run.
nlohmann::json floor_of(size_t ra, size_t rb, bool near_exact_forced)
{
    const pair_plan plan = plan_pair(ra, rb, near_exact_forced);
    std::vector<double> low(std::max(ra, rb)), high(low.size());
    for (size_t k = 0; k < low.size(); ++k)
        low[k] = static_cast<double>(k + 1), high[k] = static_cast<double>(k + 1001);
    const std::string shape = "the library's P-value for every count of one condition below "
                              "every count of the other, all distinct";
    if (plan.method == pair_method::mann_whitney)
        return {{"method", "Mann-Whitney U (normal approximation)"},
                {"floor", mann_whitney_pval(low.data(), high.data(), ra, rb)},
                {"how", shape},
                {"used", std::min(ra, rb)}};
    if (plan.method == pair_method::limit || plan.pairs < 2)
        return {{"method", plan.pairs < 2 ? "none (one replicate)"
                                          : "none (more than 12 replicates, --near-exact)"},
                {"floor", 1.0},
                {"how", "the method does not apply"},
                {"used", plan.pairs}};
    const bool sampled = plan_draws(plan);
    return {{"method", sampled ? "near-exact, sampled" : "near-exact, exhaustive"},
            {"floor", near_exact_pval(low.data(), high.data(), plan.pairs, draw_source::feature)},
            {"how", shape + (sampled ? "; sampled, so (extreme + 1) / (sampled + 1), never 0, and other "
                                       "counts can fall below it"
                                     : "; every combination counted")},
            {"used", plan.pairs}};
}

std::string base64(const std::string &bytes)
{
    static const char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += digits[v >> 18], out += digits[(v >> 12) & 63], out += digits[(v >> 6) & 63],
            out += digits[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += digits[v >> 18], out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int deflate_text(const std::string &text, std::string *out)
{
    uLongf size = compressBound(text.size());
    out->resize(size);
    if (compress2(reinterpret_cast<Bytef *>(out->data()), &size,
                  reinterpret_cast<const Bytef *>(text.data()), text.size(), 6) != Z_OK)
        return cli_fail(exit_no_memory, "cannot compress the data");
    out->resize(size);
    return exit_ok;
}

int build(nlohmann::json *j)
{
    std::string text;
    if (!read_file(in_dir("analysis.json"), &text))
        return cli_errno_fail(exit_no_input, errno, "cannot open %s",
                              in_dir("analysis.json").c_str());
    nlohmann::json a = nlohmann::json::parse(text, nullptr, false);
    if (a.is_discarded() || !a.contains("conditions"))
        return cli_fail(exit_data, "%s: not the provenance of an analysis",
                        in_dir("analysis.json").c_str());
    (*j)["provenance"] = a;
    (*j)["report_version"] = SUITE_VERSION;
    const std::vector<std::string> names = a["conditions"].get<std::vector<std::string>>();
    const bool normalized = a.value("normalized", false);

    std::vector<std::string> tables;
    for (const std::string &c : names)
        tables.push_back(in_dir(c + ".tsv"));
    report r;
    int status = read_report_file(in_dir("report.txt").c_str(), &r);
    if (status != exit_ok)
        return status;
    study s;
    study_options so;
    so.tables = tables;
    if ((status = load_study(cli_name(), r, so, &s)) != exit_ok)
        return status;

    // Raw counts per sample; normalised ones are raw / factor in the page.
    std::vector<std::string> samples, sample_condition;
    nlohmann::json raw = nlohmann::json::array();
    std::vector<std::vector<double>> norm;
    for (size_t c = 0; c < names.size(); ++c) {
        table t, n;
        if ((status = read_table(normalized ? in_dir("raw/" + names[c] + ".tsv") : tables[c],
                                 &t)) != exit_ok ||
            (status = read_table(tables[c], &n)) != exit_ok)
            return status;
        if (t.ids.size() != r.rows)
            return cli_fail(exit_data, "%s holds %zu features, the report %zu",
                            tables[c].c_str(), t.ids.size(), r.rows);
        for (size_t k = 0; k < t.samples.size(); ++k) {
            samples.push_back(t.samples[k]);
            sample_condition.push_back(names[c]);
            raw.push_back(t.values[k]);
            norm.push_back(n.values[k]);
        }
    }
    std::vector<double> factors(samples.size(), 1.0);
    if (normalized) {
        if (!read_file(in_dir("size_factors.tsv"), &text))
            return cli_errno_fail(exit_no_input, errno, "cannot open %s",
                                  in_dir("size_factors.tsv").c_str());
        const std::vector<std::string> lines = lines_of(text);
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::vector<std::string> f = tabs(lines[i]);
            if (f.size() != 3)
                continue;
            for (size_t k = 0; k < samples.size(); ++k)
                if (samples[k] == f[1] && f[0] == sample_condition[k] + ".tsv")
                    factors[k] = std::strtod(f[2].c_str(), nullptr);
        }
    }
    (*j)["conditions"] = names;
    (*j)["reps"] = s.reps;
    (*j)["samples"] = samples;
    (*j)["sample_condition"] = sample_condition;
    (*j)["factors"] = factors;
    (*j)["normalized"] = normalized;
    (*j)["features"] = r.ids;
    (*j)["raw"] = raw;

    // The sample sheet's columns, for colouring.
    nlohmann::json sheet = nlohmann::json::object();
    if (read_file(in_dir(a.value("sheet", "sample_sheet.txt")), &text)) {
        const std::vector<std::string> lines = lines_of(text);
        if (!lines.empty()) {
            const char sep = detect_separator(lines[0]);
            std::vector<std::string> head, f;
            split_fields(lines[0], sep, &head);
            size_t sample_field = 0;
            const std::string wanted = a.value("sample_column", "");
            for (size_t i = 0; i < head.size(); ++i)
                if (!wanted.empty() && head[i] == wanted)
                    sample_field = i;
            for (size_t i = 0; i < head.size(); ++i)
                if (i != sample_field)
                    sheet[head[i].empty() ? "column " + std::to_string(i + 1) : head[i]] =
                        std::vector<std::string>(samples.size(), "");
            for (size_t l = 1; l < lines.size(); ++l) {
                if (split_fields(lines[l], sep, &f) != nullptr || f.size() != head.size())
                    continue;
                const auto at = std::find(samples.begin(), samples.end(), f[sample_field]);
                if (at == samples.end())
                    continue;
                for (size_t i = 0; i < head.size(); ++i)
                    if (i != sample_field)
                        sheet[head[i].empty() ? "column " + std::to_string(i + 1) : head[i]]
                             [at - samples.begin()] = f[i];
            }
        }
    }
    (*j)["sheet"] = sheet;
    add_qc(norm, r.ids, j);

    const bool forced = a["options"].value("near_exact", false);
    nlohmann::json pairs = nlohmann::json::array();
    for (size_t p = 0; p < r.pairs; ++p) {
        int pa, pb;
        pair_members(r.conditions, p, &pa, &pb);
        nlohmann::json pv = nlohmann::json::array(), padj = nlohmann::json::array();
        for (size_t row = 0; row < r.rows; ++row) {
            const double v = s.pvalue[study_at(s, row, p)], q = s.padj[study_at(s, row, p)];
            pv.push_back(std::isnan(v) ? nlohmann::json(nullptr) : nlohmann::json(v));
            padj.push_back(std::isnan(q) ? nlohmann::json(nullptr) : nlohmann::json(q));
        }
        pairs.push_back({{"a", pa},
                         {"b", pb},
                         {"name", names[pb] + "_vs_" + names[pa]},
                         {"pvalue", pv},
                         {"padj", padj},
                         {"in_adjustment", s.in_adjustment[p]},
                         {"floor", floor_of(s.reps[pa], s.reps[pb], forced)}});
    }
    (*j)["pairs"] = pairs;
    return exit_ok;
}

void write_html(FILE *out, const std::string &payload, const std::string &title)
{
    std::fprintf(out,
                 "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                 "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                 "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data: blob:; "
                 "connect-src data: blob:\">\n"
                 "<title>%s</title>\n<style>\n",
                 title.c_str());
    std::fputs(report_page_css, out);
    std::fputs("</style></head><body>\n<div id=\"app\">Loading...</div>\n"
               "<script type=\"application/octet-stream\" id=\"data\">",
               out);
    std::fputs(payload.c_str(), out);
    std::fputs("</script>\n<script>\n", out);
    std::fputs(report_echarts, out);
    std::fputs("\n</script>\n<script>\n", out);
    std::fputs(report_page_js, out);
    std::fputs("\n</script>\n</body></html>\n", out);
}

int report_main(int argc, char **argv)
{
    std::vector<const char *> operands;
    int status = cli_parse(command, argc, argv, &operands);
    if (status >= 0)
        return status;
    if (operands.size() != 1)
        return cli_usage_fail("expected one DIR, got %zu arguments", operands.size());
    o.dir = operands[0];
    const std::string output = o.output != nullptr ? o.output : in_dir("report.html");

    nlohmann::json j;
    if ((status = build(&j)) != exit_ok)
        return status;
    std::string packed;
    if ((status = deflate_text(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                               &packed)) != exit_ok)
        return status;
    const std::string payload = base64(packed);

    vp_replacement file;
    FILE *out = vp_replace_open(output.c_str(), &file);
    if (out == nullptr)
        return cli_errno_fail(exit_cant_create, errno, "cannot create %s", output.c_str());
    errno = 0;
    std::string title = "dranvel report:";
    for (const std::string &c : j["conditions"].get<std::vector<std::string>>())
        for (char ch : " " + c)
            title += ch == '<' ? "&lt;" : ch == '&' ? "&amp;" : std::string(1, ch);
    write_html(out, payload, title);
    int err = 0;
    if (std::ferror(out) | std::fclose(out))
        err = errno ? errno : EIO;
    if (err == 0)
        err = vp_replace_finish(&file);
    else
        vp_replace_discard(&file);
    if (err != 0)
        return cli_errno_fail(exit_io, err, "cannot write %s", output.c_str());
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv)
{
    return cli_main("report", argc, argv, report_main);
}
