#ifndef SUBCMD_H
#define SUBCMD_H

#include <cstddef>
#include <cstdio>

#include "exit_status.h"

// Command-line pieces shared by split, table and plot.  Options may stand
// anywhere among the operands; "--" ends them and "-" alone is an operand.

enum option_match { option_no, option_yes, option_missing };

// Matches argv[*i] against the option name, given as "name value" or
// "name=value".  option_yes: *value is set and *i stands on the last argument
// used.  option_missing: the value is absent and the message
// "<program>: <name> needs a value" is written.
option_match match_option(const char *program, int argc, char **argv, int *i, const char *name,
                          const char **value);

// True when arg is an option (begins with "-" and is longer than "-").
bool is_option(const char *arg);

// Writes "<program>: unknown option <arg> (see <invoked> --help)"; returns 64.
int unknown_option(const char *program, const char *invoked, const char *arg);

// Writes "<invoked> <version>" on standard output; returns 0 (or 74 when
// standard output cannot be written).
int print_version(const char *program, const char *invoked);

// Reads a whole decimal number (no sign for unsigned) within [low, high].
// On failure writes "<program>: <name> <text>: <reason>" and returns false.
bool parse_count_option(const char *program, const char *name, const char *text, long low,
                        long high, long *out);
bool parse_real_option(const char *program, const char *name, const char *text, double low,
                       double high, double *out);

// Flushes and checks standard output; on failure writes
// "<program>: cannot write standard output: <reason>" and returns 74.
int finish_stdout(const char *program);

#endif
