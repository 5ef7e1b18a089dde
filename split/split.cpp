#include "split.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "abundance_text.h"
#include "cli.h"
#include "method.h"
#include "out_dir.h"
#include "pvalue.h"

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
                     cli_input_name(request.sheet_path));
    for (const condition_plan &c : plan) {
        const std::string path = table_path(request.dir, c.name);
        std::fprintf(stderr, "%s: %s: %zu sample%s, %zu features in %s\n", cli_name(),
                     c.name.c_str(), c.entries.size(), c.entries.size() == 1 ? "" : "s",
                     matrix.ids.size(), path.c_str());
        command.append(" ").append(shell_word(path));
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
