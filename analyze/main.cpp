// analyze: the whole study in one command.  split (normalised, and raw for
// the report), mirdle, table, one plot per pair and the HTML report, each the
// suite's own program run as a child, all written into a hidden directory
// beside DIR that becomes DIR only when every step has succeeded.

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "sha256.h"
#include "suite_version.h"

namespace {

const char *const methods[] = {"ratio", "upperquartile", "total", "none", nullptr};
constexpr int method_none = 3;

struct options {
    const char *output = nullptr;
    long threads = 0;
    int method = 0;
    std::vector<std::string> conditions;
    bool near_exact = false;
    double threshold = 0.05;
    const char *sample_column = nullptr;
    const char *condition_column = nullptr;
};

options o;

const cli_option option_table[] = {
    {"--output", 'o', cli_kind::string, &o.output, "DIR",
     "the directory to write (required); it must not exist or be empty"},
    {"--threads", 0, cli_kind::count, &o.threads, "N",
     "mirdle's threads (default 0: every CPU)", 0, 1024},
    {"--normalize", 0, cli_kind::choice, &o.method, "METHOD",
     "size factors: ratio (default, median of ratios),\nupperquartile, total, or none",
     0, 0, methods, true},
    {"--conditions", 0, cli_kind::list, &o.conditions, "A,B,...",
     "only these conditions, in this order (default: all, in\nthe sheet's order)"},
    {"--sample-column", 0, cli_kind::string, &o.sample_column, "NAME",
     "SHEET column of the sample names (default: the first)"},
    {"--condition-column", 0, cli_kind::string, &o.condition_column, "NAME",
     "SHEET column of the conditions (default: as split chooses)"},
    {"--near-exact", 0, cli_kind::flag, &o.near_exact, nullptr,
     "the near-exact method also for 8 or more replicates"},
    {"--threshold", 0, cli_kind::real, &o.threshold, "P",
     "P-value below which the plots and the report count a\nfeature (default 0.05)",
     0.0, 1.0},
};

const cli_command command = {
    "[options] MATRIX SHEET -o DIR",
    "Runs the whole study of the count MATRIX and the sample SHEET (as dranvel split\n"
    "reads them) into DIR: the condition tables, normalised (size_factors.tsv) and\n"
    "raw (raw/), mirdle's report.txt (--draws=feature), results.tsv with\n"
    "Benjamini-Hochberg adjusted P-values, plots_<b>_vs_<a>.png per pair, report.html,\n"
    "analysis.json (what was run, on which inputs) and logs/.  The steps run as\n"
    "child programs in a hidden directory beside DIR, which becomes DIR only when\n"
    "all have succeeded.\n",
    option_table,
    std::size(option_table),
    "The programs are taken from the directory named by DRANVEL_LIBEXEC, else from\n"
    "this program's own directory, else from its siblings <name>/<name> (a build tree).\n",
};

// ---- Paths and the working directory -------------------------------------

std::string work;       // the hidden directory being filled
std::string final_dir;  // DIR as given
volatile sig_atomic_t caught = 0;
pid_t running = 0;

std::string parent_of(const std::string &path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

std::string base_of(const std::string &path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string self_dir()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return ".";
    buffer[n] = '\0';
    return parent_of(buffer);
}

bool is_program(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

// Where the program `name` is: DRANVEL_LIBEXEC, this program's directory (an
// installation), or a sibling folder of that directory (the build tree).
std::string find_program(const std::string &name)
{
    const char *given = std::getenv("DRANVEL_LIBEXEC");
    if (given != nullptr && *given != '\0')
        return std::string(given) + "/" + name;
    const std::string here = self_dir();
    if (is_program(here + "/" + name))
        return here + "/" + name;
    const std::string sibling = parent_of(here) + "/" + name + "/" + name;
    if (is_program(sibling))
        return sibling;
    return here + "/" + name;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void remove_work()
{
    if (!work.empty())
        nftw(work.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    work.clear();
}

void on_signal(int sig)
{
    caught = sig;
    if (running > 0)
        kill(running, sig);
}

// A caught signal ends the run as it would have ended it, once the work is gone.
void end_if_caught()
{
    if (caught == 0)
        return;
    remove_work();
    std::signal(caught, SIG_DFL);
    raise(caught);
    _exit(128 + caught);
}

std::string shown(const std::string &text)
{
    std::string s = text;
    for (size_t at; !work.empty() && (at = s.find(work)) != std::string::npos;)
        s.replace(at, work.size(), final_dir);
    return s;
}

// ---- Steps -----------------------------------------------------------------

struct step_record {
    std::string name;
    std::vector<std::string> args;  // as run, paths inside the work directory
    double seconds = 0;
};

std::vector<step_record> steps;

bool read_file(const std::string &path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The child's messages, without its own name, under the step's name; its
// warnings when it succeeded, everything else it said when it failed.
int report_child(const std::string &step, const std::string &log, int status, bool failed,
                 bool warn)
{
    std::string text;
    read_file(log, &text);
    const std::string prefix = "dranvel " + step + ": ";
    const std::string warning = prefix + "warning: ";
    size_t said = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.compare(0, warning.size(), warning) == 0) {
            if (warn)
                cli_warn("%s: %s", step.c_str(), shown(line.substr(warning.size())).c_str());
        } else if (failed && line.compare(0, prefix.size(), prefix) == 0) {
            cli_fail(status, "%s: %s", step.c_str(), shown(line.substr(prefix.size())).c_str());
            ++said;
        }
    }
    if (failed && said == 0)
        cli_fail(status, "%s failed with status %d (its output: %s)", step.c_str(), status,
                 shown(log).c_str());
    return status;
}

// Runs one program with standard output captured into *out and standard
// error into logs/<log>.log.  Returns 0 or the status the run ends with,
// its message written.
int run_step(const std::string &step, const std::string &log_name,
             const std::vector<std::string> &args, std::string *out)
{
    const std::string program = find_program(step);
    const std::string log = work + "/logs/" + log_name + ".log";
    step_record record{step, args, 0};
    record.args.insert(record.args.begin(), "dranvel " + step);
    const auto start = std::chrono::steady_clock::now();

    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return cli_errno_fail(exit_internal, errno, "%s: cannot make a pipe", step.c_str());
    const int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        close(pipe_fds[0]), close(pipe_fds[1]);
        return cli_errno_fail(exit_cant_create, errno, "cannot create %s", shown(log).c_str());
    }
    std::vector<char *> argv;
    std::string argv0 = program;
    argv.push_back(argv0.data());
    std::vector<std::string> copies = args;
    for (std::string &a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fds[0]), close(pipe_fds[1]), close(log_fd);
        return cli_errno_fail(exit_internal, errno, "%s: cannot start it", step.c_str());
    }
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        close(pipe_fds[0]), close(pipe_fds[1]);
        std::signal(SIGINT, SIG_DFL), std::signal(SIGTERM, SIG_DFL), std::signal(SIGHUP, SIG_DFL);
        setenv(cli_dispatched_variable, "dranvel", 1);
        execv(program.c_str(), argv.data());
        std::fprintf(stderr, "dranvel %s: cannot run %s: %s\n", step.c_str(), program.c_str(),
                     std::strerror(errno));
        _exit(exit_cannot_run);
    }
    running = pid;
    close(pipe_fds[1]);
    close(log_fd);
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n > 0)
            out->append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(pipe_fds[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    running = 0;
    end_if_caught();
    record.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    steps.push_back(record);
    if (WIFSIGNALED(wstatus))
        return cli_fail(exit_internal, "%s: killed by signal %d (%s)", step.c_str(),
                        WTERMSIG(wstatus), strsignal(WTERMSIG(wstatus)));
    const int status = WEXITSTATUS(wstatus);
    report_child(step, log, status, status != 0, log_name != "split-raw");
    return status;
}

// The words of a command line as split prints it (shell_word's quoting).
std::vector<std::string> shell_words(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool in_word = false, quoted = false;
    for (char ch : line) {
        if (quoted) {
            if (ch == '\'')
                quoted = false;
            else
                word += ch;
        } else if (ch == '\'') {
            quoted = in_word = true;
        } else if (ch == ' ' || ch == '\n') {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
        } else if (ch == '\\') {
            in_word = true;  // only in '\'', whose quote follows
        } else {
            word += ch;
            in_word = true;
        }
    }
    if (in_word)
        words.push_back(word);
    return words;
}

std::string join(const std::vector<std::string> &items, const char *sep)
{
    std::string s;
    for (size_t i = 0; i < items.size(); ++i)
        s += (i ? sep : "") + items[i];
    return s;
}

void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "%s: ", cli_name());
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// ---- Provenance --------------------------------------------------------------

int describe_input(const char *role, const char *path, nlohmann::json *inputs)
{
    std::string hex;
    uint64_t size = 0;
    if (!sha256_file(path, &hex, &size))
        return cli_errno_fail(exit_no_input, errno, "cannot read %s", path);
    char resolved[4096];
    const char *absolute = realpath(path, resolved);
    inputs->push_back({{"role", role},
                       {"path", path},
                       {"absolute_path", absolute != nullptr ? absolute : path},
                       {"size", size},
                       {"sha256", hex}});
    return exit_ok;
}

std::string utc_now()
{
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    const std::time_t now = epoch != nullptr ? std::strtoll(epoch, nullptr, 10) : std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

int write_provenance(int argc, char **argv, const nlohmann::json &inputs,
                     const std::vector<std::string> &conditions, const std::string &condition_column)
{
    nlohmann::json j;
    j["suite"] = "dranvel";
    j["version"] = SUITE_VERSION;
    j["date"] = utc_now();
    std::vector<std::string> line(argv, argv + argc);
    line[0] = cli_invoked();
    j["command"] = line;
    char cwd[4096];
    j["working_directory"] = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
    j["inputs"] = inputs;
    j["options"] = {{"threads", o.threads},
                    {"normalize", methods[o.method]},
                    {"conditions", o.conditions},
                    {"near_exact", o.near_exact},
                    {"threshold", o.threshold},
                    {"draws", "feature"}};
    j["sample_column"] = o.sample_column != nullptr ? o.sample_column : "";
    j["condition_column"] = condition_column;
    j["sheet"] = "sample_sheet.txt";
    j["conditions"] = conditions;
    j["normalized"] = o.method != method_none;
    nlohmann::json list = nlohmann::json::array();
    for (const step_record &s : steps) {
        std::vector<std::string> args;
        for (const std::string &a : s.args)
            args.push_back(shown(a));
        list.push_back({{"name", s.name}, {"command", args}, {"seconds", s.seconds}});
    }
    j["steps"] = list;
    const std::string path = work + "/analysis.json";
    std::ofstream out(path);
    out << j.dump(1) << '\n';
    out.close();
    if (!out)
        return cli_fail(exit_io, "cannot write %s", shown(path).c_str());
    return exit_ok;
}

int copy_file(const char *from, const std::string &to)
{
    std::string text;
    if (!read_file(from, &text))
        return cli_errno_fail(exit_no_input, errno, "cannot read %s", from);
    std::ofstream out(to, std::ios::binary);
    out << text;
    out.close();
    if (!out)
        return cli_fail(exit_io, "cannot write %s", shown(to).c_str());
    return exit_ok;
}

// ---- The run -----------------------------------------------------------------

// DIR may be made new or be an empty directory, which the work replaces.
int check_target()
{
    struct stat info;
    if (stat(final_dir.c_str(), &info) != 0)
        return errno == ENOENT ? exit_ok
                               : cli_errno_fail(exit_cant_create, errno, "cannot use %s",
                                                final_dir.c_str());
    if (!S_ISDIR(info.st_mode))
        return cli_fail(exit_cant_create, "%s exists and is not a directory", final_dir.c_str());
    DIR *dir = opendir(final_dir.c_str());
    if (dir == nullptr)
        return cli_errno_fail(exit_cant_create, errno, "cannot use %s", final_dir.c_str());
    size_t entries = 0;
    while (const struct dirent *e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            ++entries;
    closedir(dir);
    if (entries > 0)
        return cli_fail(exit_cant_create, "%s exists and is not empty", final_dir.c_str());
    return exit_ok;
}

int make_parents(const std::string &dir)
{
    struct stat info;
    if (stat(dir.c_str(), &info) == 0)
        return exit_ok;
    if (dir != parent_of(dir) && make_parents(parent_of(dir)) != exit_ok)
        return exit_cant_create;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return cli_errno_fail(exit_cant_create, errno, "cannot create directory %s", dir.c_str());
    return exit_ok;
}

int analyze(int argc, char **argv, const char *matrix, const char *sheet)
{
    const auto start = std::chrono::steady_clock::now();
    int status = check_target();
    if (status != exit_ok)
        return status;
    const std::string parent = parent_of(final_dir);
    if ((status = make_parents(parent)) != exit_ok)
        return status;
    for (const char *program : {"split", "mirdle", "table", "plot", "report"})
        if (!is_program(find_program(program)))
            return cli_fail(exit_not_installed, "cannot find the program %s (looked for %s)",
                            program, find_program(program).c_str());
    std::string pattern = parent + "/." + base_of(final_dir) + ".analyze-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return cli_errno_fail(exit_cant_create, errno, "cannot create a directory in %s",
                              parent.c_str());
    work = pattern;
    const mode_t mask = umask(0);
    umask(mask);
    chmod(work.c_str(), 0777 & ~mask);
    if (mkdir((work + "/logs").c_str(), 0777) != 0)
        return cli_errno_fail(exit_cant_create, errno, "cannot create %s/logs", final_dir.c_str());

    nlohmann::json inputs = nlohmann::json::array();
    if ((status = describe_input("matrix", matrix, &inputs)) != exit_ok ||
        (status = describe_input("sheet", sheet, &inputs)) != exit_ok ||
        (status = copy_file(sheet, work + "/sample_sheet.txt")) != exit_ok)
        return status;

    // 1. split, normalised unless told otherwise, and raw for the report.
    std::vector<std::string> split_args;
    if (!o.conditions.empty())
        split_args.push_back("--conditions=" + join(o.conditions, ","));
    if (o.sample_column != nullptr)
        split_args.push_back(std::string("--sample-column=") + o.sample_column);
    if (o.condition_column != nullptr)
        split_args.push_back(std::string("--condition-column=") + o.condition_column);
    std::vector<std::string> args = split_args;
    if (o.method != method_none)
        args.push_back(std::string("--normalize=") + methods[o.method]);
    args.insert(args.end(), {"--", matrix, sheet, work});
    std::string said;
    if ((status = run_step("split", "split", args, &said)) != exit_ok)
        return status;
    const std::vector<std::string> words = shell_words(said);
    std::vector<std::string> tables, names;
    for (size_t i = 4; i < words.size(); ++i) {
        tables.push_back(words[i]);
        std::string name = base_of(words[i]);
        names.push_back(name.substr(0, name.size() - 4));
    }
    if (words.size() < 6 || words[2] != "--output")
        return cli_fail(exit_internal, "split: unexpected output: %s", said.c_str());
    for (const std::string &name : names)
        if (name == "results")
            return cli_fail(exit_data, "split: a condition named \"results\" would take the "
                                       "place of results.tsv");
    std::string condition_column = o.condition_column != nullptr ? o.condition_column : "";
    {
        std::string log;
        read_file(work + "/logs/split.log", &log);
        const std::string mark = "conditions from column \"";
        const size_t at = log.find(mark);
        if (at != std::string::npos) {
            const size_t end = log.find("\" of ", at + mark.size());
            condition_column = log.substr(at + mark.size(), end - at - mark.size());
        }
    }
    progress("split: %zu conditions (%s)%s", names.size(), join(names, ", ").c_str(),
             o.method != method_none ? (std::string(", normalised by ") + methods[o.method]).c_str()
                                     : ", not normalised");
    if (o.method != method_none) {
        if (mkdir((work + "/raw").c_str(), 0777) != 0)
            return cli_errno_fail(exit_cant_create, errno, "cannot create %s/raw",
                                  final_dir.c_str());
        args = split_args;
        args.insert(args.end(), {"--", matrix, sheet, work + "/raw"});
        said.clear();
        if ((status = run_step("split", "split-raw", args, &said)) != exit_ok)
            return status;
        progress("split: raw counts in raw/ for the report");
    }

    // 2. mirdle.
    args = {"--threads=" + std::to_string(o.threads), "--draws=feature"};
    if (o.near_exact)
        args.push_back("--near-exact");
    args.insert(args.end(), {"--output", work + "/report.txt", "--"});
    args.insert(args.end(), tables.begin(), tables.end());
    said.clear();
    if ((status = run_step("mirdle", "mirdle", args, &said)) != exit_ok)
        return status;
    progress("mirdle: report.txt (%.1f s)", steps.back().seconds);

    // 3. table.
    args = {"--tables=" + join(tables, ",")};
    if (names.size() == 2)
        args.push_back("--sort=1-2");
    args.insert(args.end(), {"-o", work + "/results.tsv", "--", work + "/report.txt"});
    if ((status = run_step("table", "table", args, &said)) != exit_ok)
        return status;
    progress("table: results.tsv");

    // 4. one plot per pair.
    // The threshold as the user would write it: the shortest text that reads
    // back as the same double.
    char threshold[32];
    *std::to_chars(threshold, threshold + sizeof threshold - 1, o.threshold).ptr = '\0';
    for (size_t a = 0; a < names.size(); ++a)
        for (size_t b = a + 1; b < names.size(); ++b) {
            const std::string vs = names[b] + "_vs_" + names[a];
            const std::string log = "plot_" + vs;
            args = {"--tables=" + join(tables, ","), "--pair=" + std::to_string(a + 1) + "-" +
                                                         std::to_string(b + 1),
                    std::string("--threshold=") + threshold, "--label=10",
                    "-o", work + "/plots_" + vs + ".png", "--", work + "/report.txt"};
            if ((status = run_step("plot", log, args, &said)) != exit_ok)
                return status;
            progress("plot: plots_%s.png", vs.c_str());
        }

    // 5. the report, from everything above.
    if ((status = write_provenance(argc, argv, inputs, names, condition_column)) != exit_ok)
        return status;
    args = {"-o", work + "/report.html", "--", work};
    if ((status = run_step("report", "report", args, &said)) != exit_ok)
        return status;
    progress("report: report.html");
    if ((status = write_provenance(argc, argv, inputs, names, condition_column)) != exit_ok)
        return status;

    if (rename(work.c_str(), final_dir.c_str()) != 0)
        return cli_errno_fail(exit_cant_create, errno, "cannot rename the work to %s",
                              final_dir.c_str());
    work.clear();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    progress("done: %s (%.1f s)", final_dir.c_str(), seconds);
    return exit_ok;
}

int analyze_main(int argc, char **argv)
{
    std::vector<const char *> operands;
    const int status = cli_parse(command, argc, argv, &operands);
    if (status >= 0)
        return status;
    if (operands.size() != 2)
        return cli_usage_fail("expected MATRIX SHEET, got %zu argument%s", operands.size(),
                              operands.size() == 1 ? "" : "s");
    if (o.output == nullptr || *o.output == '\0')
        return cli_usage_fail("-o DIR is required");
    for (const char *path : operands)
        if (cli_is_stdin(path))
            return cli_usage_fail("MATRIX and SHEET must be files (both are read twice)");
    final_dir = o.output;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    const int result = analyze(argc, argv, operands[0], operands[1]);
    if (result != exit_ok)
        remove_work();
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    return cli_main("analyze", argc, argv, analyze_main);
}
