#ifndef SPLIT_H
#define SPLIT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "size_factors.h"

// split: one count matrix and a sample sheet in, one mirdle table per
// condition out.

// Splits one line (without its line ending) at sep.  A field that begins
// with a double quote runs to its closing quote and may hold sep; "" inside
// it stands for one quote.  Any other field is taken as it stands.  Returns
// nullptr, or a description of the fault: a quoted field without its closing
// quote on the line, or text between a closing quote and the next sep.
const char *split_fields(std::string_view line, char sep, std::vector<std::string> *fields);

// Tab when the line holds a tab outside quotes, else comma when it holds a
// comma outside quotes, else tab.
char detect_separator(std::string_view line);

enum count_fault { count_ok, count_not_number, count_negative, count_out_of_range };

// A count is decimal notation ("12", "3.5", "1e3", a leading "+"), at least
// 0 ("-0" is 0), and finite in single precision, as mirdle reads it.  The
// text must already be stripped of blanks.
count_fault check_count(std::string_view text);

// The text without leading and trailing blanks (spaces and tabs).
std::string_view trim_blanks(std::string_view text);

// Whether the text holds a control character (below 0x20, or DEL).
bool has_control(std::string_view text);

// nullptr when name can be a file name in the output directory; else why not.
const char *condition_name_fault(std::string_view name);

// A word the shell reads back as text: as it is when it holds only safe
// characters, otherwise in single quotes.  A word beginning with "-" gets
// "./" in front so that no program takes it for an option.
std::string shell_word(const std::string &text);

enum matrix_layout { layout_auto, layout_plain, layout_featurecounts };

// The counts of one chosen sample, in feature order.
struct sample_column {
    std::string sample;            // name from the sheet
    unsigned long sheet_line = 0;  // its line in the sheet
    size_t field = 0;              // field index in the matrix's data rows
    std::string text;              // each count's text as given, one after another
    std::vector<size_t> ends;      // end of each feature's text within text
    std::vector<double> values;    // the counts as mirdle reads them: single
                                   // precision, widened to double
    // Set by a sample step that changed values: the table then carries the
    // values, not the matrix's text.
    bool rewritten = false;
};

// A per-sample step run on every chosen sample after the whole matrix has
// been read and before any table is written (normalisation, for example).
// Returns an exit status; anything but 0 ends the run, its message written.
using sample_step = int (*)(sample_column *column, size_t features, void *context);

struct split_request {
    const char *matrix_path = nullptr;  // "-": standard input
    const char *sheet_path = nullptr;   // "-": standard input
    const char *dir = nullptr;
    char matrix_sep = 0;  // 0: detected
    char sheet_sep = 0;
    matrix_layout layout = layout_auto;
    const char *sample_column = nullptr;     // column names in the sheet; nullptr:
    const char *condition_column = nullptr;  // the first, and the one read_sheet
                                             // chooses
    std::vector<std::string> conditions;     // chosen and ordered; empty: all
    sample_step step = nullptr;
    void *step_context = nullptr;
    // Divide every count by its sample's size factor, computed over all
    // chosen samples, and write DIR/size_factors.tsv beside the tables.
    bool normalize = false;
    size_factor_method method = method_ratio;
};

struct sheet_entry {
    std::string sample;
    std::string condition;
    unsigned long line = 0;
};

struct condition_plan {
    std::string name;
    std::vector<size_t> entries;  // into the sheet, in sheet order
};

struct count_matrix {
    std::vector<std::string> ids;
    std::vector<sample_column> samples;  // condition by condition, as planned
    std::vector<double> factors;  // one per sample once normalised, else empty
};

// Each returns an exit status after writing at most one message (warnings
// aside, which begin "split: warning: ").

// Reads the sheet's header and rows.  *chosen gets the condition column's
// name when split chose it, and stays empty when an option named it.
int read_sheet(const split_request &request, std::vector<sheet_entry> *sheet,
               std::string *chosen);

// Chooses and orders the conditions, checks their names and warns of a
// condition with a single sample.
int plan_conditions(const split_request &request, const std::vector<sheet_entry> &sheet,
                    std::vector<condition_plan> *plan);

// Reads the matrix: finds every planned sample's column, warns of columns
// the sheet does not name, and keeps the chosen counts.
int read_matrix(const split_request &request, const std::vector<sheet_entry> &sheet,
                const std::vector<condition_plan> &plan, count_matrix *matrix);

// Writes DIR/<condition>.tsv for every planned condition (creating DIR), and
// DIR/size_factors.tsv when the matrix holds factors.  They are written
// under temporary names and renamed once all are complete, after a check
// that no directory stands in the way of a rename, so that a failed run
// leaves the files of DIR as they were.
int write_tables(const split_request &request, const std::vector<condition_plan> &plan,
                 const count_matrix &matrix);

// DIR/size_factors.tsv holds the factors, named as the table of a condition
// "size_factors" would be.
inline constexpr char size_factors_stem[] = "size_factors";

// Size factors of the chosen samples over all features, as dranvel normalize
// computes them over the tables split writes (the samples in table order);
// then every count divided by its factor, each column marked rewritten.
int normalize_matrix(const split_request &request, count_matrix *matrix);

// The factors as normalize lists them: a header "table column factor", then
// per sample its table's file name, its name and its factor.
std::string size_factor_table(const std::vector<condition_plan> &plan,
                              const count_matrix &matrix);

// A warning when the geometric means of two conditions' factors are more
// than 1.5 times apart.
void warn_on_factor_spread(const std::vector<condition_plan> &plan, const count_matrix &matrix);

// The path of a condition's table.
std::string table_path(const char *dir, const std::string &condition);

// A warning for every pair of planned conditions of different sizes whose
// P-value mirdle computes by the near-exact method, which takes only the
// first samples of the larger condition.
void warn_on_unequal_sizes(const std::vector<condition_plan> &plan,
                           const std::vector<sheet_entry> &sheet);

// All of it: sheet, plan, matrix, the normalisation and the sample step if
// any, tables; then on standard error the condition column if split chose
// it, one line per condition, the factors and the warnings of unequal sizes,
// and the mirdle command on standard output.
int split_matrix(const split_request &request);

#endif
