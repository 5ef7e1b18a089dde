// The line reader on arbitrary text, plain and after a round trip through
// each compressor: every line comes back whole and in order, split at every
// tab; a line with a NUL byte is refused, never cut; a compressed file that
// is cut short or damaged never ends as clean data.
//
// Input: one selector byte, then the text.  The selector picks the codec of
// the round trip and where the compressed file is cut and damaged.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "vp_stream.h"

using namespace fuzz;

namespace {

void read_plain(const std::string &text, const std::vector<std::string> &want)
{
    FILE *f = open_text(text);
    require(f != nullptr, "cannot open the text in memory");
    check_lines(read_all(f, max_reads), want, "plain");
    std::fclose(f);
}

std::vector<read_step> read_file(const char *path, size_t max_steps)
{
    FILE *f = vp_fopen(path, "r");
    require(f != nullptr, "vp_fopen failed on a scratch file", path);
    std::vector<read_step> steps = read_all(f, max_steps);
    // A second read after the end or the fault must not change the verdict.
    if (!steps.empty() && steps.back().result == EOF) {
        vp_dsv_line *line = vp_dsv_line_new();
        require(vp_dsv_line_read(line, f, "\t") == EOF, "a read after EOF found more data");
        vp_dsv_line_free(line);
    }
    vp_fclose(f);
    return steps;
}

void round_trip(codec c, uint8_t selector, const std::string &text,
                const std::vector<std::string> &want)
{
    const std::string packed = compress(c, text);
    scratch_file file(suffix_of(c));

    // Whole: exactly the lines of the text, then EOF; rewind gives them again.
    check_lines(read_file(file.write(packed), max_reads), want, suffix_of(c));
    {
        FILE *f = vp_fopen(file.write(packed), "r");
        std::vector<read_step> first = read_all(f, max_reads);
        std::rewind(f);
        require(!std::ferror(f), "rewind left the error indicator set");
        std::vector<read_step> again = read_all(f, max_reads);
        check_lines(again, want, "after rewind");
        vp_fclose(f);
    }

    // Cut short anywhere: every line delivered is a line of the text, in
    // order, and the reading ends with a read error, never with EOF.
    size_t cut = packed.size() * (selector >> 4) / 16 + (selector & 15);
    if (cut >= packed.size())
        cut = packed.size() - 1;
    std::vector<read_step> steps =
        read_file(file.write(packed.substr(0, cut)), max_reads);
    require(!steps.empty() && steps.back().result == VP_DSV_READ_ERROR,
            "a truncated compressed file did not end with a read error",
            std::string(suffix_of(c)) + " cut at " + std::to_string(cut) + " of " +
                std::to_string(packed.size()));
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
        require(i < want.size(), "more lines than the text holds");
        if (steps[i].result == '\n')
            require(steps[i].joined == want[i], "a truncated file delivered a wrong line");
        else
            require(steps[i].result == VP_DSV_NUL_BYTE && want[i].find('\0') != std::string::npos,
                    "a truncated file refused a good line");
    }

    // One bit flipped: a read error, or (where the flip hits a field that no
    // check covers, such as the gzip time stamp) exactly the original lines.
    std::string damaged = packed;
    size_t at = (cut * 7 + selector) % damaged.size();
    damaged[at] = static_cast<char>(damaged[at] ^ (1u << (selector % 8)));
    steps = read_file(file.write(damaged), max_reads);
    if (steps.back().result != VP_DSV_READ_ERROR)
        check_lines(steps, want, "bit flip without error");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::vector<std::string> want = split_table_lines(text);
    read_plain(text, want);
    round_trip(static_cast<codec>(selector % 3), selector, text, want);
    return 0;
}
