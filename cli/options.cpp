#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace {

const cli_option help_option = {"--help", 0, cli_kind::flag, nullptr, nullptr, "this text"};
const cli_option version_option = {"--version", 0, cli_kind::flag, nullptr, nullptr,
                                   "the version"};

// "a, b or c" for a choice's message.
std::string choice_list(const char *const *choices)
{
    std::string s;
    for (const char *const *c = choices; *c != nullptr; ++c) {
        if (c != choices)
            s += c[1] == nullptr ? " or " : ", ";
        s += *c;
    }
    return s;
}

bool take_count(const cli_option &o, const char *text)
{
    char *end;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno == ERANGE) {
        cli_fail(exit_usage, "%s %s: not a whole number", o.name, text);
        return false;
    }
    if (static_cast<double>(v) < o.low || static_cast<double>(v) > o.high) {
        cli_fail(exit_usage, "%s %s: must be from %.0f to %.0f", o.name, text, o.low, o.high);
        return false;
    }
    *static_cast<long *>(o.target) = v;
    return true;
}

bool take_real(const cli_option &o, const char *text)
{
    char *end;
    const double v = std::strtod(text, &end);
    if (text[0] == '\0' || *end != '\0' || !std::isfinite(v)) {
        cli_fail(exit_usage, "%s %s: not a number", o.name, text);
        return false;
    }
    if (v < o.low || v > o.high) {
        if (std::isinf(o.high))
            cli_fail(exit_usage, "%s %s: must be at least %g", o.name, text, o.low);
        else
            cli_fail(exit_usage, "%s %s: must be from %g to %g", o.name, text, o.low, o.high);
        return false;
    }
    *static_cast<double *>(o.target) = v;
    return true;
}

bool take_choice(const cli_option &o, const char *text)
{
    for (int k = 0; o.choices[k] != nullptr; ++k)
        if (std::strcmp(o.choices[k], text) == 0) {
            *static_cast<int *>(o.target) = k;
            return true;
        }
    cli_fail(exit_usage, "%s %s: give %s", o.name, text, choice_list(o.choices).c_str());
    return false;
}

bool take_value(const cli_option &o, const char *value)
{
    switch (o.kind) {
    case cli_kind::flag:
        *static_cast<bool *>(o.target) = true;
        return true;
    case cli_kind::string:
        *static_cast<const char **>(o.target) = value;
        return true;
    case cli_kind::count:
        return take_count(o, value);
    case cli_kind::real:
        return take_real(o, value);
    case cli_kind::choice:
        if (value == nullptr) {
            *static_cast<int *>(o.target) = 0;
            return true;
        }
        return take_choice(o, value);
    case cli_kind::list:
        return cli_add_list_items(o.name, value, static_cast<std::vector<std::string> *>(o.target));
    case cli_kind::each:
        static_cast<std::vector<std::string> *>(o.target)->emplace_back(value);
        return true;
    }
    return false;
}

bool is_number(const char *text)
{
    char *end;
    std::strtod(text, &end);
    return end != text && *end == '\0';
}

const cli_option *find_long(const cli_command &c, std::string_view name)
{
    for (size_t k = 0; k < c.option_count; ++k)
        if (name == c.options[k].name)
            return &c.options[k];
    if (name == help_option.name)
        return &help_option;
    if (name == version_option.name)
        return &version_option;
    return nullptr;
}

const cli_option *find_short(const cli_command &c, char letter)
{
    for (size_t k = 0; k < c.option_count; ++k)
        if (c.options[k].short_name == letter)
            return &c.options[k];
    return nullptr;
}

// One option argument at argv[*i]; moves *i past a separate value.  Returns
// -1 to go on, or the exit status.
int take_option(const cli_command &c, int argc, char **argv, int *i)
{
    const char *arg = argv[*i];
    const cli_option *o;
    const char *value = nullptr;
    bool inline_value = false;
    if (arg[1] == '-') {
        const char *equals = std::strchr(arg, '=');
        const std::string_view name(arg, equals ? static_cast<size_t>(equals - arg)
                                                : std::strlen(arg));
        o = find_long(c, name);
        if (o == nullptr)
            return cli_usage_fail("unknown option %s", arg);
        if (equals != nullptr) {
            value = equals + 1;
            inline_value = true;
        }
    } else {
        o = find_short(c, arg[1]);
        if (o == nullptr)
            return cli_usage_fail("unknown option %s", arg);
        if (arg[2] != '\0') {
            value = arg + 2;
            inline_value = true;
        }
    }
    if (o == &help_option || o == &version_option) {
        if (inline_value)
            return cli_usage_fail("unknown option %s", arg);
        if (o == &version_option)
            return cli_print_version();
        cli_write_help(c, stdout);
        return cli_finish_stdout();
    }
    const bool takes_value = o->kind != cli_kind::flag;
    if (!takes_value && inline_value)
        return cli_usage_fail("%s takes no value", o->name);
    if (takes_value && !inline_value && !o->value_optional) {
        if (*i + 1 >= argc)
            return cli_fail(exit_usage, "%s needs a value", arg);
        value = argv[++*i];
    }
    if (o->given != nullptr)
        *o->given = true;
    return take_value(*o, value) ? -1 : exit_usage;
}

std::string left_column(const cli_option &o)
{
    std::string s = "  ";
    if (o.short_name != 0) {
        s += '-';
        s += o.short_name;
        s += ", ";
    }
    s += o.name;
    if (o.value_name != nullptr)
        s += o.value_optional ? std::string("[=") + o.value_name + "]"
                              : std::string(" ") + o.value_name;
    return s;
}

void write_option(FILE *to, const cli_option &o, size_t width)
{
    const std::string left = left_column(o);
    std::string_view help = o.help;
    bool first = true;
    if (left.size() + 2 > width) {
        std::fprintf(to, "%s\n", left.c_str());
        first = false;
    }
    for (;;) {
        const size_t nl = help.find('\n');
        const std::string_view line = help.substr(0, nl);
        std::fprintf(to, "%-*s%.*s\n", static_cast<int>(width), first ? left.c_str() : "",
                     static_cast<int>(line.size()), line.data());
        first = false;
        if (nl == std::string_view::npos)
            break;
        help.remove_prefix(nl + 1);
    }
}

}  // namespace

void cli_write_help(const cli_command &c, FILE *to)
{
    std::fprintf(to, "Usage: %s %s\n", cli_invoked(), c.synopsis);
    if (c.description != nullptr)
        std::fputs(c.description, to);
    std::fputs("\nOptions:\n", to);
    constexpr size_t widest = 25;
    size_t width = left_column(help_option).size() + 2;
    for (size_t k = 0; k < c.option_count; ++k) {
        const size_t w = left_column(c.options[k]).size() + 2;
        if (w <= widest && w > width)
            width = w;
    }
    for (size_t k = 0; k < c.option_count; ++k)
        write_option(to, c.options[k], width);
    write_option(to, help_option, width);
    write_option(to, version_option, width);
    if (c.epilog != nullptr)
        std::fputs(c.epilog, to);
}

int cli_parse(const cli_command &c, int argc, char **argv, std::vector<const char *> *operands)
{
    bool only_operands = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (only_operands || arg[0] != '-' || arg[1] == '\0' ||
            (c.numbers_are_operands && is_number(arg))) {
            operands->push_back(arg);
            if (c.options_first)
                only_operands = true;
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            only_operands = true;
            continue;
        }
        const int status = take_option(c, argc, argv, &i);
        if (status >= 0)
            return status;
    }
    return -1;
}
