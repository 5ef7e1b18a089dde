#ifndef CLI_H
#define CLI_H

// The skeleton every program of the suite shares: its name, set once; one
// voice for its messages; one declarative option table that parses the
// command line and writes the options part of --help; standard output
// finished once.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "exit_status.h"

// ---- The program --------------------------------------------------------

// Runs body(argc, argv) as the program `name`: SIGPIPE gets its default
// action, the name is set from argv[0] (cli_begin), and running out of
// memory ends as status 69 after one message.  Returns the body's status, so
// that fuzz targets and tests can call program bodies as functions.
int cli_main(const char *name, int argc, char **argv, int (*body)(int, char **));

// Sets the name the program speaks with.  Started by the dispatcher (which
// says so in the environment, DRANVEL_DISPATCHED), a subcommand calls itself
// "dranvel <name>", the command its user typed; otherwise argv[0] as typed.
// The variable is removed, so that programs started later do not inherit it.
void cli_begin(const char *name, const char *argv0);

// "split", or "dranvel split": the prefix of every message.
const char *cli_name();
// How the user invoked it, for usage lines: argv[0], or "dranvel split".
const char *cli_invoked();

// The environment variable by which the dispatcher tells a subcommand.
inline constexpr char cli_dispatched_variable[] = "DRANVEL_DISPATCHED";

// ---- Messages -----------------------------------------------------------

// "<name>: <text>\n" on standard error; returns status.
[[gnu::format(printf, 2, 3)]] int cli_fail(int status, const char *format, ...);
// "<name>: <text>: <strerror(err)>\n" on standard error; returns status.
[[gnu::format(printf, 3, 4)]] int cli_errno_fail(int status, int err, const char *format, ...);
// "<name>: warning: <text>\n" on standard error.
[[gnu::format(printf, 1, 2)]] void cli_warn(const char *format, ...);

// An input as messages name it: "standard input" for "-", else the path.
const char *cli_input_name(const char *path);
// Whether the path names standard input.
bool cli_is_stdin(const char *path);

// Flushes and checks standard output; a reader that went away ends the
// process quietly (status 141); another failure writes "<name>: cannot write
// standard output: <reason>" and returns 74.
int cli_finish_stdout();

// "<invoked> <version>" on standard output, finished; the one version of
// the suite.
int cli_print_version();

// ---- Options ------------------------------------------------------------

enum class cli_kind {
    flag,     // bool: set to true
    string,   // const char *: the value as given
    count,    // long: a whole number from low to high
    real,     // double: a finite number from low to high
    choice,   // int: the index of the value among choices
    list,     // std::vector<std::string>: comma-separated items, appended
    each,     // std::vector<std::string>: every occurrence's value, in order
};

struct cli_option {
    const char *name;        // "--sort"
    char short_name;         // 'o' for -o, or 0
    cli_kind kind;
    void *target;            // as the kind says
    const char *value_name;  // "PAIR", shown in --help; nullptr for flags
    const char *help;        // one or more lines, joined by '\n'
    double low = 0, high = 0;                // count and real
    const char *const *choices = nullptr;    // choice: nullptr-terminated
    // choice only: the value is optional ("--normalize" or "--normalize=M"),
    // and the option alone takes choice 0.
    bool value_optional = false;
    bool *given = nullptr;   // set when the option appears
};

struct cli_command {
    const char *synopsis;     // after "Usage: <invoked> "
    const char *description;  // the lines between the usage line and Options
    const cli_option *options;
    size_t option_count;
    const char *epilog = nullptr;  // lines after the options
    // Options are recognised only before the first operand (as mirdle and
    // pvalue-sim read their command lines); otherwise anywhere, "--" ending
    // them.  "-" alone is always an operand.
    bool options_first = false;
    // An argument that reads whole as a number ("-5", "-.2") is an operand,
    // not an option.
    bool numbers_are_operands = false;
};

// Parses argv against the table: values as "--name value", "--name=value",
// "-o value" or "-ovalue"; --help and --version are answered here.  Returns
// -1 with the operands in *operands to go on, or the exit status: 0 after
// --help or --version, 64 after one message for an unknown option ("<name>:
// unknown option X (see <invoked> --help)"), a missing value ("<name>: X
// needs a value") or a bad value ("<name>: X V: <reason>").
int cli_parse(const cli_command &command, int argc, char **argv,
              std::vector<const char *> *operands);

// The usage line, the description and the options, as --help writes them.
void cli_write_help(const cli_command &command, FILE *to);

// "<name>: <text> (see <invoked> --help)"; returns 64.
[[gnu::format(printf, 1, 2)]] int cli_usage_fail(const char *format, ...);

// Appends the comma-separated items of list; an empty item writes
// "<name>: <option>: empty item in <list>" and returns false.
bool cli_add_list_items(const char *option, const char *list, std::vector<std::string> *items);

#endif
