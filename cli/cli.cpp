#include "cli.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "broken_pipe.h"
#include "suite_version.h"

namespace {

std::string program_name = "dranvel";
std::string invoked_as = "dranvel";

void vmessage(const char *prefix, const char *format, va_list args, const char *suffix)
{
    std::fprintf(stderr, "%s: %s", program_name.c_str(), prefix);
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "%s\n", suffix);
}

}  // namespace

void cli_begin(const char *name, const char *argv0)
{
    const char *dispatched = std::getenv(cli_dispatched_variable);
    if (dispatched != nullptr && *dispatched != '\0') {
        program_name = std::string(dispatched) + " " + name;
        invoked_as = program_name;
    } else {
        program_name = name;
        invoked_as = argv0 != nullptr && *argv0 != '\0' ? argv0 : name;
    }
    unsetenv(cli_dispatched_variable);
}

const char *cli_name() { return program_name.c_str(); }
const char *cli_invoked() { return invoked_as.c_str(); }

int cli_main(const char *name, int argc, char **argv, int (*body)(int, char **))
{
    take_default_sigpipe();
    cli_begin(name, argc > 0 ? argv[0] : nullptr);
    try {
        return body(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", cli_name());
        return exit_no_memory;
    }
}

int cli_fail(int status, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vmessage("", format, args, "");
    va_end(args);
    return status;
}

int cli_errno_fail(int status, int err, const char *format, ...)
{
    const std::string reason = std::string(": ") + std::strerror(err);
    va_list args;
    va_start(args, format);
    vmessage("", format, args, reason.c_str());
    va_end(args);
    return status;
}

void cli_warn(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vmessage("warning: ", format, args, "");
    va_end(args);
}

int cli_usage_fail(const char *format, ...)
{
    const std::string see = std::string(" (see ") + cli_invoked() + " --help)";
    va_list args;
    va_start(args, format);
    vmessage("", format, args, see.c_str());
    va_end(args);
    return exit_usage;
}

bool cli_is_stdin(const char *path) { return std::strcmp(path, "-") == 0; }

const char *cli_input_name(const char *path)
{
    return cli_is_stdin(path) ? "standard input" : path;
}

int cli_finish_stdout()
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return exit_ok;
    const int err = errno ? errno : EIO;
    end_if_broken_pipe(err);
    return cli_errno_fail(exit_io, err, "cannot write standard output");
}

int cli_print_version()
{
    std::printf("%s %s\n", cli_invoked(), SUITE_VERSION);
    return cli_finish_stdout();
}

bool cli_add_list_items(const char *option, const char *list, std::vector<std::string> *items)
{
    std::string_view rest = list;
    for (;;) {
        const size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        if (item.empty()) {
            cli_fail(exit_usage, "%s: empty item in \"%s\"", option, list);
            return false;
        }
        items->emplace_back(item);
        if (comma == std::string_view::npos)
            return true;
        rest.remove_prefix(comma + 1);
    }
}
