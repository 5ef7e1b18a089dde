// Arbitrary bytes in a file named .gz, .bz2 or .xz, read with vp_fopen and
// the line reader.  Whatever the bytes, the reading ends; it ends with clean
// EOF only when the file is a complete, valid compressed file, and then the
// lines are exactly those of its content as the library decodes it in one go.
//
// Input: one selector byte (codec), then the file's bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "vp_stream.h"

using namespace fuzz;

namespace {

// Content beyond this is not compared line by line (the reading is still
// bounded, so a bomb ends as a long read, not a hang).
constexpr size_t content_limit = 16 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const codec c = static_cast<codec>(data[0] % 3);
    const std::string bytes(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string content;
    const bool valid = decode_whole(c, bytes, content, content_limit);
    if (!valid && content.size() > content_limit)
        return 0;

    scratch_file file(suffix_of(c));
    FILE *f = vp_fopen(file.write(bytes), "r");
    require(f != nullptr, "vp_fopen failed on a scratch file");
    const std::vector<std::string> want = split_lines(content);
    std::vector<read_step> steps = read_all(f, max_reads);
    const int last = steps.back().result;
    if (valid) {
        check_lines(steps, want, suffix_of(c));
    } else {
        require(last == VP_DSV_READ_ERROR, "an invalid compressed file read as clean data",
                std::string(suffix_of(c)) + ", " + std::to_string(bytes.size()) + " bytes, result " +
                    std::to_string(last));
        require(std::ferror(f) != 0, "read error without the stream's error indicator");
    }
    vp_fclose(f);
    return 0;
}
