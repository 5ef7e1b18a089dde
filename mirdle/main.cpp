// mirdle: compares the abundances of two or more conditions, feature by
// feature, and writes means, dispersions, fold changes and P-values.

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mirdle.h"
#include "vp_stream.h"

// The P-value library's trace switch, set by --debug.
bool Debug = false;

namespace {

int usage(const char *prog)
{
    std::fprintf(stderr,
                 "Usage: %s [--output file.txt] [--near-exact]\\\n"
                 "\tabundances1.tsv[.gz|.bz2|.xz] abundances2.tsv[.gz|.bz2|.xz] \\\n"
                 "\t[abundances3.tsv[.gz|.bz2|.xz] ...]\n",
                 prog);
    return exit_usage;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *prog = argv[0] ? argv[0] : "mirdle";
    if (argc < 3)
        return usage(prog);
    // A closed pipe must end the run with a message and a failure status, not
    // a silent death or a short report that looks complete.
    std::signal(SIGPIPE, SIG_IGN);

    FILE *report = stdout;
    bool near_exact = false;
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        if (std::strcmp(argv[arg], "--debug") == 0) {
            Debug = true;
        } else if (std::strcmp(argv[arg], "--output") == 0) {
            if (arg + 1 >= argc)
                return usage(prog);
            const char *path = argv[++arg];
            FILE *f = std::fopen(path, "w");
            if (f == nullptr) {
                std::fprintf(stderr, "mirdle: Could not open %s for write: %s.\n", path,
                             std::strerror(errno));
                return exit_cant_create;
            }
            report = f;
        } else if (std::strcmp(argv[arg], "--near-exact") == 0) {
            near_exact = true;
        }
    }

    const int conditions = argc - arg;
    if (conditions > MAX_CONDITIONS) {
        std::fprintf(stderr, "mirdle: Too many conditions: %d (at most %d).\n", conditions,
                     MAX_CONDITIONS);
        return exit_usage;
    }
    static FILE *streams[MAX_CONDITIONS];
    const char *const *paths = argv + arg;
    for (int c = 0; c < conditions; ++c) {
        streams[c] = vp_fopen(paths[c], "r");
        if (streams[c] == nullptr) {
            std::fprintf(stderr, ": Could not open %s for read: %s.\n", paths[c],
                         std::strerror(errno));
            return exit_no_input;
        }
    }
    return compare_abundances(streams, paths, conditions, report, near_exact);
}
