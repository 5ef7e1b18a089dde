// The whole pvalue-sim command line, run in-process: exit() jumps back here
// (see track_alloc.cpp), and standard output and error go to memory.  A model
// of the command-line rules predicts usage (status 64, exactly the four usage
// lines, nothing on standard output) or a run (status 0), whose output must
// hold the counts as given or drawn within their range, the trace, and a
// result line with both P-values in [0, 1].
//
// Input: the arguments after the program name, separated by newlines.  Runs
// that would draw more than 40 replicates or iterate more than 20 times, and
// runs of 7 to 12 pairs (five sampled passes of millions of combinations
// each), are skipped: they are slow and cover nothing that 5 and 6 pairs do
// not.

#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "pvalue.h"
#include "sim.h"
#include "suite_version.h"
#include "track_alloc.h"

bool Debug = true;

using namespace fuzz;

namespace {

constexpr size_t max_args = 40;
constexpr int max_random_reps = 40;
constexpr int max_iterations = 20;
constexpr size_t max_sampled_pairs = 6;

const char *const prog = "pvalue-sim";

std::string usage_text()
{
    std::string p = prog;
    return "Usage:   " + p + " count1-mean count2-mean max-deviation replicates iterations\n" +
           "         " + p + " --fixed c1-count c1-count ... c2-count c2-count...\n" +
           "Example: " + p + " 100 200 .2 3 5\n" + "Example: " + p +
           " --fixed 10 12 9 101 140 123\n";
}

// The command line as the option table reads it: options first (--fixed,
// --draws MODE, --help, --version), then the arguments; "-", "--" and
// anything that reads whole as a number end the options.  error holds the
// one message of a refused option.
struct command_line {
    bool fixed = false, help = false, version = false;
    std::string error;
    std::vector<std::string> operands;
};

bool whole_number(const std::string &text)
{
    char *end;
    std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0';
}

command_line read_command_line(const std::vector<std::string> &args)
{
    command_line c;
    const std::string see = std::string(" (see ") + prog + " --help)\n";
    const std::string me = std::string(prog) + ": ";
    bool only_operands = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (only_operands || a.size() < 2 || a[0] != '-' || whole_number(a)) {
            c.operands.push_back(a);
            only_operands = true;
            continue;
        }
        if (a == "--") {
            only_operands = true;
            continue;
        }
        const size_t eq = a[1] == '-' ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, eq);
        const bool inline_value = eq != std::string::npos;
        if (name == "--help" || name == "--version") {
            if (inline_value) {
                c.error = me + "unknown option " + a + see;
                return c;
            }
            (name == "--help" ? c.help : c.version) = true;
            return c;
        }
        if (name == "--fixed") {
            if (inline_value) {
                c.error = me + "--fixed takes no value" + see;
                return c;
            }
            c.fixed = true;
        } else if (name == "--draws") {
            std::string value;
            if (inline_value) {
                value = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                c.error = me + "--draws needs a value\n";
                return c;
            }
            if (value != "run" && value != "feature") {
                c.error = me + "--draws " + value + ": give run or feature\n";
                return c;
            }
        } else {
            c.error = me + "unknown option " + a + see;
            return c;
        }
    }
    return c;
}

bool range_ok(int mean, double max_deviation)
{
    if (mean < 0)
        return false;
    double range = 2.0 * (max_deviation * static_cast<double>(mean));
    return range >= 1.0 && range < 18446744073709551616.0;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

void check_result_line(const std::vector<std::string> &lines)
{
    require(!lines.empty(), "no output");
    double exact, mw;
    char tail;
    const std::string &last = lines.back();
    require(std::sscanf(last.c_str(), "Exact P-value = %lf  Mann-Whitney = %lf%c", &exact, &mw,
                        &tail) == 2,
            "the last line is not the result line", last);
    require(exact >= 0.0 && exact <= 1.0 && mw >= 0.0 && mw <= 1.0,
            "a P-value outside [0, 1]", last);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    if (input.find('\0') != std::string::npos)
        return 0;
    std::vector<std::string> args;
    for (size_t start = 0; start < input.size() && args.size() <= max_args;) {
        size_t nl = input.find('\n', start);
        if (nl == std::string::npos)
            nl = input.size();
        args.push_back(input.substr(start, nl - start));
        start = nl + 1;
    }
    if (args.size() > max_args)
        return 0;

    // The model of the command line.
    const command_line cl = read_command_line(args);
    const bool help = cl.help || cl.version;
    const bool refused = !cl.error.empty();
    const bool fixed = cl.fixed;
    const std::vector<std::string> &ops = cl.operands;
    bool usage = args.empty() ||
                 (!help && !refused && (fixed ? ops.size() % 2 != 0 : ops.size() != 5));
    int mean1 = 0, mean2 = 0, reps = 0, iterations = 0;
    double max_deviation = 0.0;
    if (!args.empty() && !help && !refused && !usage && !fixed) {
        mean1 = std::atoi(ops[0].c_str());
        mean2 = std::atoi(ops[1].c_str());
        max_deviation = std::atof(ops[2].c_str());
        reps = std::atoi(ops[3].c_str());
        iterations = std::atoi(ops[4].c_str());
        usage = !(max_deviation > 0.0) || reps < 0 || iterations < 1 ||
                !range_ok(mean1, max_deviation) || !range_ok(mean2, max_deviation);
        if (!usage && (reps > max_random_reps || iterations > max_iterations))
            return 0;
    }
    const size_t n = help || refused ? 0 : fixed ? ops.size() / 2 : static_cast<size_t>(reps);
    if (!usage && n > max_sampled_pairs && n <= near_exact_max_pairs)
        return 0;

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(prog));
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int status;
    std::string out, err;
    {
        capture o(stdout), e(stderr);
        std::jmp_buf on_exit;
        if (int jumped = setjmp(on_exit)) {
            status = jumped - 1;
        } else {
            catch_exit(&on_exit);
            status = pvalue_sim_main(static_cast<int>(argv.size() - 1), argv.data());
        }
        catch_exit(nullptr);
        out = o.finish();
        err = e.finish();
    }
    release_run_blocks();

    if (usage || refused) {
        require(status == 64, "a bad command line did not end with status 64",
                std::to_string(status));
        require(out.empty(), "usage wrote to standard output", out);
        require(err == (usage ? usage_text() : cl.error), "the usage text or the refusal differs",
                err);
        return 0;
    }
    if (help) {
        require(status == 0, "--help or --version did not end with status 0",
                std::to_string(status));
        require(err.empty(), "--help or --version wrote to standard error", err);
        const std::string help_start = std::string("Usage: ") + prog + " [--draws D] ";
        require(cl.version ? out == std::string(prog) + " " SUITE_VERSION "\n"
                           : out.compare(0, help_start.size(), help_start) == 0,
                "--help or --version printed something else", out);
        return 0;
    }
    require(status == 0, "a good command line did not end with status 0",
            std::to_string(status) + ": " + err);
    const std::string refusal = "near_exact_pval(): Use mann_whitney_pval() for reps > 12.\n";
    require(err == (n > near_exact_max_pairs ? refusal : std::string()),
            "unexpected standard error", err);

    const std::vector<std::string> lines = split_lines(out);
    check_result_line(lines);
    const size_t adjusted = count_of(out, "Adjusted counts:\n");
    const size_t inside = n == 1 || n > near_exact_max_pairs ? 0 : 1;
    if (fixed) {
        require(lines.size() >= 2 * n, "fewer count lines than counts");
        for (size_t i = 0; i < 2 * n; ++i) {
            char want[64];
            std::snprintf(want, sizeof want, "%f", static_cast<double>(std::atoi(ops[i].c_str())));
            require(lines[i] == want, "a given count is not printed as read", lines[i]);
        }
        require(adjusted == 1 + inside, "the adjustment is not traced twice",
                std::to_string(adjusted));
    } else {
        require(lines.size() >= 2 && lines[0].empty(), "the range line is not preceded by a blank line");
        const double h1 = max_deviation * mean1, h2 = max_deviation * mean2;
        const double lo1 = mean1 - h1, lo2 = mean2 - h2;
        const double hi1 = lo1 + static_cast<double>(static_cast<uint64_t>(2.0 * h1)) - 1.0;
        const double hi2 = lo2 + static_cast<double>(static_cast<uint64_t>(2.0 * h2)) - 1.0;
        size_t at = 2;
        for (int it = 0; it < iterations; ++it) {
            require(at < lines.size() && lines[at] == "Cond1 Cond2 FC      1/FC",
                    "an iteration lacks its header line");
            ++at;
            for (size_t i = 0; i < n; ++i, ++at) {
                double a = 0.0, b = 0.0;
                require(at < lines.size() && std::sscanf(lines[at].c_str(), "%lf %lf", &a, &b) == 2,
                        "a drawn row is missing");
                require(a >= lo1 - 0.5 && a <= hi1 + 0.5 && b >= lo2 - 0.5 && b <= hi2 + 0.5,
                        "a drawn count lies outside its range", lines[at]);
            }
        }
        require(adjusted == inside, "the adjustment trace count is wrong",
                std::to_string(adjusted));
    }
    return 0;
}
