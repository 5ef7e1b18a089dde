#ifndef CONDITIONS_H
#define CONDITIONS_H

// The names of a report's conditions and of its pairs, as the command line
// gives them.

#include <string>
#include <string_view>
#include <vector>

// Condition names, as given by --names or --tables, or c1, c2, ...
struct name_options {
    std::vector<std::string> names;   // from --names
    std::vector<std::string> tables;  // from --tables
};

// A table path's file name without its directory, without a .gz, .bz2 or .xz
// ending and then without a .tsv, .txt or .tab ending.
std::string name_from_table_path(std::string_view path);

// Settles the n condition names: from --names or --tables (not both), which
// must give exactly n distinct non-empty names without tab, newline, carriage
// return or double quote; otherwise c1 to cn.  Returns 0, or 64 with one
// message.
int settle_names(const char *program, const name_options &options, int conditions,
                 std::vector<std::string> *names);

// Finds the pair named by text: "a-b" with the report's condition numbers
// (from 1), or "<b>_vs_<a>" with condition names; either order names the
// pair.  Returns the pair index (a < b), setting *reversed (when given) to
// whether the text names it the other way round (b over a turned to a over
// b), or -1 after the message "<program>: <option> <text>: ...".
long find_pair(const char *program, const char *option, const char *text,
               const std::vector<std::string> &names, bool *reversed = nullptr);

#endif
