#include "subcmd.h"

#include "broken_pipe.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#ifndef DRANVEL_VERSION
#error "DRANVEL_VERSION must be defined by the build"
#endif

option_match match_option(const char *program, int argc, char **argv, int *i, const char *name,
                          const char **value)
{
    const char *arg = argv[*i];
    const size_t len = std::strlen(name);
    if (std::strncmp(arg, name, len) != 0)
        return option_no;
    if (arg[len] == '=') {
        *value = arg + len + 1;
        return option_yes;
    }
    if (arg[len] != '\0')
        return option_no;
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a value\n", program, name);
        return option_missing;
    }
    *value = argv[++*i];
    return option_yes;
}

bool is_option(const char *arg)
{
    return arg[0] == '-' && arg[1] != '\0';
}

int unknown_option(const char *program, const char *invoked, const char *arg)
{
    std::fprintf(stderr, "%s: unknown option %s (see %s --help)\n", program, arg, invoked);
    return exit_usage;
}

int print_version(const char *program, const char *invoked)
{
    std::printf("%s %s\n", invoked, DRANVEL_VERSION);
    return finish_stdout(program);
}

bool parse_count_option(const char *program, const char *name, const char *text, long low,
                        long high, long *out)
{
    char *end;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno == ERANGE) {
        std::fprintf(stderr, "%s: %s %s: not a whole number\n", program, name, text);
        return false;
    }
    if (v < low || v > high) {
        std::fprintf(stderr, "%s: %s %s: must be from %ld to %ld\n", program, name, text, low,
                     high);
        return false;
    }
    *out = v;
    return true;
}

bool parse_real_option(const char *program, const char *name, const char *text, double low,
                       double high, double *out)
{
    char *end;
    const double v = std::strtod(text, &end);
    if (text[0] == '\0' || *end != '\0' || !std::isfinite(v)) {
        std::fprintf(stderr, "%s: %s %s: not a number\n", program, name, text);
        return false;
    }
    if (v < low || v > high) {
        std::fprintf(stderr, "%s: %s %s: must be from %g to %g\n", program, name, text, low,
                     high);
        return false;
    }
    *out = v;
    return true;
}

int finish_stdout(const char *program)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        end_if_broken_pipe(errno);
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", program,
                     std::strerror(errno ? errno : EIO));
        return exit_io;
    }
    return exit_ok;
}
