#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config.h"
#include "exit_status.h"

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

int print_usage(const char *prog)
{
    std::fprintf(stderr, "Usage: %s --version\n", prog);
    std::fprintf(stderr, "       %s subcommand [args]\n", prog);
    std::fputs("\nSubcommands:\n\n", stderr);

    DIR *dir = opendir(DRANVEL_LIBEXEC_DIR);
    if (dir != nullptr) {
        const struct dirent *entry;
        while ((entry = readdir(dir)) != nullptr) {
            if (is_listed(entry->d_name))
                std::fprintf(stderr, "%s\n", entry->d_name);
        }
        closedir(dir);
    }

    std::fputs("\nRun \"dranvel subcommand\" or \"man dranvel-subcommand\" "
               "for more details.\n\n",
               stderr);
    return exit_usage;
}

int not_found(const char *prog, const char *name)
{
    std::fprintf(stderr, "%s: No %s found in %s.\n", prog, name,
                 DRANVEL_LIBEXEC_DIR);
    return exit_usage;
}

int run_subcommand(char *argv[])
{
    const char *prog = argv[0];
    const char *name = argv[1];

    std::fwrite(banner, 1, sizeof banner - 1, stderr);
    std::fflush(stderr);

    // A name with a slash could reach outside the subcommand directory.
    if (std::strchr(name, '/') != nullptr)
        return not_found(prog, name);

    char path[1024];
    int len = std::snprintf(path, sizeof path, "%s/%s", DRANVEL_LIBEXEC_DIR,
                            name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path)
        return not_found(prog, name);

    struct stat info;
    if (stat(path, &info) != 0)
        return not_found(prog, name);

    execv(path, argv + 1);

    int err = errno;
    std::fprintf(stderr, "%s: Could not run %s: %s.\n", prog, path,
                 std::strerror(err));
    return exit_cannot_run;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return print_usage(argc > 0 ? argv[0] : "dranvel");

    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", argv[0], DRANVEL_VERSION);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "%s: Could not write the version: %s.\n", argv[0],
                         std::strerror(errno));
            return exit_io;
        }
        return exit_ok;
    }

    return run_subcommand(argv);
}
