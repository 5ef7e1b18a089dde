#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "broken_pipe.h"
#include "cli.h"
#include "config.h"
#include "exit_status.h"
#include "suite_version.h"

namespace {

#define DRANVEL_STARS33 "*********************************"

// One literal, so the whole notice goes out in a single write and cannot be
// split by another writer on the same terminal.
constexpr char banner[] =
    "\n"
    DRANVEL_STARS33 " Note " DRANVEL_STARS33 "\n"
    "DRANVEL is beta-quality software.  Be sure to verify all results.\n"
    "(This is not to imply that other DE tools should be trusted, either.)\n"
    "Please contribute by reporting problems and offering suggestions at\n"
    DRANVEL_BUG_URL ".\n"
    DRANVEL_STARS33 "******" DRANVEL_STARS33 "\n"
    "\n";

bool is_listed(const char *name)
{
    return name[0] != '.' && std::strstr(name, ".awk") == nullptr;
}

struct subcommand_purpose {
    const char *name;
    const char *purpose;
};

constexpr subcommand_purpose purposes[] = {
    {"analyze", "the whole study of a count matrix, to tables, plots and report.html"},
    {"mirdle", "compare condition tables: means, fold changes, P-values"},
    {"normalize", "divide condition tables by per-sample size factors"},
    {"plot", "draw the MA and the volcano plot of a mirdle report"},
    {"report", "one self-contained HTML report of an analysis"},
    {"split", "split a count matrix into one mirdle table per condition"},
    {"table", "write a mirdle report as a table with adjusted P-values"},
};

const char *purpose_of(const char *name)
{
    for (const subcommand_purpose &p : purposes)
        if (std::strcmp(p.name, name) == 0)
            return p.purpose;
    return nullptr;
}

// The usage of plain "dranvel" names two forms; --help names them all.
void print_usage_head(FILE *to, const char *prog, bool all_forms)
{
    std::fprintf(to, "Usage: %s --version\n", prog);
    if (all_forms) {
        std::fprintf(to, "       %s --help\n", prog);
        std::fprintf(to, "       %s help subcommand\n", prog);
    }
    std::fprintf(to, "       %s subcommand [args]\n", prog);
    std::fputs("\nSubcommands:\n\n", to);
}

void print_usage_tail(FILE *to)
{
    std::fputs("\nRun \"dranvel subcommand\" or \"man dranvel-subcommand\" "
               "for more details.\n\n",
               to);
}

// The usage text with the installed subcommands, in directory order, on
// standard error for a command line without arguments.
void print_usage(FILE *to, const char *prog)
{
    print_usage_head(to, prog, false);
    DIR *dir = opendir(DRANVEL_LIBEXEC_DIR);
    if (dir != nullptr) {
        const struct dirent *entry;
        while ((entry = readdir(dir)) != nullptr) {
            if (is_listed(entry->d_name))
                std::fprintf(to, "%s\n", entry->d_name);
        }
        closedir(dir);
    }
    print_usage_tail(to);
}

// The least listed name of the subcommand directory after `after` (any,
// when after is nullptr) into next; false when there is none.
bool next_name(const char *after, char (&next)[sizeof(dirent::d_name)])
{
    DIR *dir = opendir(DRANVEL_LIBEXEC_DIR);
    if (dir == nullptr)
        return false;
    bool found = false;
    const struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        const char *name = entry->d_name;
        if (is_listed(name) && (after == nullptr || std::strcmp(name, after) > 0) &&
            (!found || std::strcmp(name, next) < 0)) {
            std::snprintf(next, sizeof next, "%s", name);
            found = true;
        }
    }
    closedir(dir);
    return found;
}

// The usage text for --help, on standard output: the subcommands sorted by
// name, each known one with its purpose.  One pass over the directory per
// name keeps the dispatcher free of allocation, for the few names there are.
void print_help(FILE *to, const char *prog)
{
    print_usage_head(to, prog, true);
    char name[sizeof(dirent::d_name)], last[sizeof(dirent::d_name)];
    for (bool first = true; next_name(first ? nullptr : last, name); first = false) {
        const char *purpose = purpose_of(name);
        if (purpose != nullptr)
            std::fprintf(to, "  %-10s %s\n", name, purpose);
        else
            std::fprintf(to, "  %s\n", name);
        std::memcpy(last, name, sizeof last);
    }
    print_usage_tail(to);
}

// Ends a run that printed to standard output: 0, or 74 with the reason of the
// failed write (what failed is named in the message), or quietly if the reader
// went away.
int stdout_status(const char *prog, const char *what)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return exit_ok;
    const int err = errno ? errno : EIO;
    end_if_broken_pipe(err);
    std::fprintf(stderr, "%s: Could not write the %s: %s.\n", prog, what, std::strerror(err));
    return exit_io;
}

int not_found(const char *prog, const char *name)
{
    std::fprintf(stderr, "%s: No %s found in %s.\n", prog, name,
                 DRANVEL_LIBEXEC_DIR);
    return exit_usage;
}

// Builds the subcommand's path in path (1024 bytes); false when the name
// cannot be a subcommand: a name with a slash could reach outside the
// subcommand directory, a path that does not fit or does not exist is none.
bool find_subcommand(const char *name, char *path)
{
    if (std::strchr(name, '/') != nullptr)
        return false;
    int len = std::snprintf(path, 1024, "%s/%s", DRANVEL_LIBEXEC_DIR, name);
    if (len < 0 || len >= 1024)
        return false;
    struct stat info;
    return stat(path, &info) == 0;
}

int run_subcommand(char *argv[])
{
    const char *prog = argv[0];
    const char *name = argv[1];

    std::fwrite(banner, 1, sizeof banner - 1, stderr);
    std::fflush(stderr);

    char path[1024];
    if (!find_subcommand(name, path))
        return not_found(prog, name);

    // The subcommand names itself as its user typed it: "dranvel split".
    const char *slash = std::strrchr(prog, '/');
    setenv(cli_dispatched_variable, slash != nullptr ? slash + 1 : prog, 1);
    execv(path, argv + 1);

    int err = errno;
    std::fprintf(stderr, "%s: Could not run %s: %s.\n", prog, path,
                 std::strerror(err));
    return exit_cannot_run;
}

// "dranvel help name": the manual page dranvel-name of an installed
// subcommand, shown by man.  The page installed beside this dispatcher is
// opened by its path, so it is found without MANPATH; otherwise man searches
// its path for the page.  man's own status (16 for a page it cannot find)
// becomes ours.
int show_manual_page(const char *prog, const char *name)
{
    char path[1024];
    if (name[0] == '\0' || !find_subcommand(name, path))
        return not_found(prog, name);

    char page[1024];
    int len = std::snprintf(page, sizeof page, "%s/dranvel-%s.1", DRANVEL_MAN1_DIR, name);
    struct stat info;
    if (len > 0 && static_cast<size_t>(len) < sizeof page && stat(page, &info) == 0) {
        const char *args[] = {"man", "-l", page, nullptr};
        execvp("man", const_cast<char **>(args));
    } else {
        std::snprintf(page, sizeof page, "dranvel-%s", name);
        const char *args[] = {"man", page, nullptr};
        execvp("man", const_cast<char **>(args));
    }
    int err = errno;
    std::fprintf(stderr, "%s: Could not run man to show dranvel-%s: %s.\n", prog, name,
                 std::strerror(err));
    return err == ENOENT ? exit_not_installed : exit_cannot_run;
}

} // namespace

int main(int argc, char *argv[])
{
    take_default_sigpipe();
    if (argc < 2) {
        print_usage(stderr, argc > 0 ? argv[0] : "dranvel");
        return exit_usage;
    }

    if (std::strcmp(argv[1], "--help") == 0 ||
        (std::strcmp(argv[1], "help") == 0 && argc == 2)) {
        print_help(stdout, argv[0]);
        return stdout_status(argv[0], "usage text");
    }
    if (std::strcmp(argv[1], "help") == 0)
        return show_manual_page(argv[0], argv[2]);

    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", argv[0], SUITE_VERSION);
        return stdout_status(argv[0], "version");
    }

    return run_subcommand(argv);
}
