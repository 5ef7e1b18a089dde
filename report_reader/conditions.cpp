#include "conditions.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_status.h"
#include "report_reader.h"

std::string name_from_table_path(std::string_view path)
{
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    auto strip = [&path](const char *const *endings) {
        for (const char *const *e = endings; *e != nullptr; ++e) {
            const size_t len = std::strlen(*e);
            if (path.size() > len && path.substr(path.size() - len) == *e) {
                path.remove_suffix(len);
                return;
            }
        }
    };
    static const char *const compressed[] = {".gz", ".bz2", ".xz", nullptr};
    static const char *const tables[] = {".tsv", ".txt", ".tab", nullptr};
    strip(compressed);
    strip(tables);
    return std::string(path);
}

int settle_names(const char *program, const name_options &options, int conditions,
                 std::vector<std::string> *names)
{
    names->clear();
    if (!options.names.empty() && !options.tables.empty()) {
        std::fprintf(stderr, "%s: --names and --tables cannot be given together\n", program);
        return exit_usage;
    }
    const bool from_tables = !options.tables.empty();
    const char *option = from_tables ? "--tables" : "--names";
    if (from_tables) {
        for (const std::string &t : options.tables)
            names->push_back(name_from_table_path(t));
    } else {
        *names = options.names;
    }
    if (names->empty()) {
        for (int c = 1; c <= conditions; ++c)
            names->push_back(std::string("c").append(std::to_string(c)));
        return exit_ok;
    }
    if (names->size() != static_cast<size_t>(conditions)) {
        std::fprintf(stderr, "%s: %s gives %zu names, the report has %d conditions\n", program,
                     option, names->size(), conditions);
        return exit_usage;
    }
    for (size_t i = 0; i < names->size(); ++i) {
        const std::string &name = (*names)[i];
        if (name.empty() || name.find_first_of("\t\n\r\"") != std::string::npos) {
            std::fprintf(stderr,
                         "%s: %s: condition name \"%s\" is empty or holds a tab, newline, "
                         "carriage return or double quote\n",
                         program, option, name.c_str());
            return exit_usage;
        }
        for (size_t j = 0; j < i; ++j)
            if ((*names)[j] == name) {
                std::fprintf(stderr, "%s: %s: conditions %zu and %zu are both named \"%s\"\n",
                             program, option, j + 1, i + 1, name.c_str());
                return exit_usage;
            }
    }
    return exit_ok;
}

long find_pair(const char *program, const char *option, const char *text,
               const std::vector<std::string> &names, bool *reversed)
{
    const int n = static_cast<int>(names.size());
    auto found = [reversed, n](int a, int b, bool turned) {
        if (reversed != nullptr)
            *reversed = turned;
        return static_cast<long>(pair_index(n, a, b));
    };
    for (int a = 0; a < n - 1; ++a)
        for (int b = a + 1; b < n; ++b) {
            if (names[b] + "_vs_" + names[a] == text)
                return found(a, b, false);
            if (names[a] + "_vs_" + names[b] == text)
                return found(a, b, true);
        }
    char *end;
    errno = 0;
    const long a = std::strtol(text, &end, 10);
    if (text[0] >= '0' && text[0] <= '9' && *end == '-' && end[1] >= '0' && end[1] <= '9') {
        const long b = std::strtol(end + 1, &end, 10);
        if (*end == '\0' && errno == 0) {
            if (a >= 1 && b >= 1 && a <= n && b <= n && a != b)
                return found(static_cast<int>(std::min(a, b) - 1),
                             static_cast<int>(std::max(a, b) - 1), a > b);
            std::fprintf(stderr,
                         "%s: %s %s: no such pair; pairs are a-b with 1 <= a, b <= %d, a != b\n",
                         program, option, text, n);
            return -1;
        }
    }
    std::fprintf(stderr, "%s: %s %s: no such pair; give a-b (as 1-2) or <b>_vs_<a> (as %s_vs_%s)\n",
                 program, option, text, names[1].c_str(), names[0].c_str());
    return -1;
}
