// split --normalize: the size factors of the chosen samples, computed from
// the matrix split holds in memory, and the counts divided by them.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "abundance_text.h"
#include "exit_status.h"
#include "size_factors.h"
#include "split.h"

namespace {

int no_factors(const split_request &request, const count_matrix &matrix, int status,
               const size_factor_state *sf)
{
    const char *matrix_path = cli_input_name(request.matrix_path);
    const char *method = size_factor_method_name(request.method);
    switch (status) {
    case sf_no_memory:
        std::fprintf(stderr, "%s: out of memory\n", cli_name());
        return exit_no_memory;
    case sf_no_usable_rows:
        if (request.method == method_ratio)
            std::fprintf(stderr,
                         "%s: %s: no feature is above 0 in every chosen sample, so "
                         "--normalize=ratio has nothing to use (try "
                         "--normalize=upperquartile)\n",
                         cli_name(), matrix_path);
        else
            std::fprintf(stderr, "%s: %s: every feature is 0 in every chosen sample\n", cli_name(),
                         matrix_path);
        return exit_data;
    case sf_zero_factor: {
        const sample_column &s = matrix.samples[size_factors_failed_sample(sf)];
        std::fprintf(stderr, "%s: %s: sample %s (column %zu) has %s 0, so --normalize=%s cannot "
                     "scale it\n",
                     cli_name(), matrix_path, s.sample.c_str(), s.field + 1,
                     request.method == method_total ? "the sum" : "the upper quartile", method);
        return exit_data;
    }
    default:
        std::fprintf(stderr, "%s: internal error: the size factors saw other rows in a later "
                     "pass\n", cli_name());
        return exit_internal;
    }
}

// Every pass feeds the rows in the same order, as the state requires.
int compute_factors(const split_request &request, const count_matrix &matrix,
                    size_factor_state *sf)
{
    const size_t samples = matrix.samples.size();
    std::vector<double> row(samples);
    while (size_factors_need_pass(sf)) {
        if (int e = size_factors_begin_pass(sf))
            return no_factors(request, matrix, e, sf);
        for (size_t f = 0; f < matrix.ids.size(); ++f) {
            for (size_t j = 0; j < samples; ++j)
                row[j] = matrix.samples[j].values[f];
            size_factors_add_row(sf, row.data());
        }
        if (int e = size_factors_end_pass(sf))
            return no_factors(request, matrix, e, sf);
    }
    return exit_ok;
}

int divide_counts(const split_request &request, count_matrix *matrix)
{
    for (size_t j = 0; j < matrix->samples.size(); ++j) {
        sample_column &s = matrix->samples[j];
        const double factor = matrix->factors[j];
        for (size_t f = 0; f < s.values.size(); ++f) {
            const double v = s.values[f] / factor;
            if (std::isinf(static_cast<float>(v))) {
                const size_t start = f == 0 ? 0 : s.ends[f - 1];
                std::fprintf(stderr,
                             "%s: %s: feature %s: count %.*s of sample %s divided by its size "
                             "factor %g is too large for single precision\n",
                             cli_name(), cli_input_name(request.matrix_path), matrix->ids[f].c_str(),
                             static_cast<int>(s.ends[f] - start), s.text.data() + start,
                             s.sample.c_str(), factor);
                return exit_data;
            }
            s.values[f] = v;
        }
        s.rewritten = true;
    }
    return exit_ok;
}

}  // namespace

int normalize_matrix(const split_request &request, count_matrix *matrix)
{
    size_factor_state *sf = size_factors_new(request.method, matrix->samples.size(), nullptr);
    if (sf == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", cli_name());
        return exit_no_memory;
    }
    int status = compute_factors(request, *matrix, sf);
    if (status == exit_ok) {
        const double *factors = size_factors_result(sf);
        matrix->factors.assign(factors, factors + matrix->samples.size());
    }
    size_factors_free(sf);
    if (status == exit_ok)
        status = divide_counts(request, matrix);
    return status;
}

std::string size_factor_table(const std::vector<condition_plan> &plan,
                              const count_matrix &matrix)
{
    std::string text = "table\tcolumn\tfactor\n";
    char factor[ABUNDANCE_TEXT_SIZE];
    size_t j = 0;
    for (const condition_plan &c : plan)
        for (size_t k = 0; k < c.entries.size(); ++k, ++j) {
            format_double(matrix.factors[j], factor);
            text += c.name + ".tsv\t" + matrix.samples[j].sample + "\t" + factor + "\n";
        }
    return text;
}

void warn_on_factor_spread(const std::vector<condition_plan> &plan, const count_matrix &matrix)
{
    // The samples are held condition by condition, so each condition's
    // factors are consecutive, as the spread needs them.
    std::vector<size_t> sizes, offsets;
    size_t offset = 0;
    for (const condition_plan &c : plan) {
        sizes.push_back(c.entries.size());
        offsets.push_back(offset);
        offset += c.entries.size();
    }
    size_t high, low;
    const double *factors = matrix.factors.data();
    const double spread = size_factor_spread(factors, sizes.data(), sizes.size(), &high, &low);
    if (!(spread > size_factor_spread_warning))
        return;
    std::fprintf(stderr,
                 "%s: warning: the size factors differ between conditions: geometric mean %.3g "
                 "for %s, %.3g for %s (%.2f times, more than %.1f): the raw counts are not "
                 "comparable\n",
                 cli_name(), geometric_mean(factors + offsets[high], sizes[high]),
                 plan[high].name.c_str(), geometric_mean(factors + offsets[low], sizes[low]),
                 plan[low].name.c_str(), spread, size_factor_spread_warning);
}
