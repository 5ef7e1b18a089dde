// parse_rep_counts on one arbitrary row.  The row is valid exactly when strtof
// consumes every abundance field; then every entry holds the field converted
// in single precision, the sum is the sum in column order and the standard
// deviation divides by the replicate count.  An invalid row writes exactly
// one message naming its first invalid field.  The array has exactly one
// entry per replicate, so a write past it is caught.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "mirdle.h"

bool Debug = false;

using namespace fuzz;

namespace {

bool same_double(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One row: the text up to the first newline.
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t nl = text.find('\n');
    if (nl != std::string::npos)
        text.resize(nl + 1);
    if (text.empty() || text.find('\0') != std::string::npos)
        return 0;

    FILE *f = open_text(text);
    vp_dsv_line *line = vp_dsv_line_new();
    require(vp_dsv_line_read(line, f, "\t") == '\n', "a row without NUL was not read whole");
    std::fclose(f);

    const uint64_t fields = vp_dsv_line_get_num_fields(line);
    const uint64_t reps = fields - 1;
    // The driver never passes a row without abundances; the row model is
    // only checked where it applies.
    if (reps == 0) {
        vp_dsv_line_free(line);
        return 0;
    }
    double *counts = new double[reps];
    double sum = -1.0, sd = -1.0;
    std::string message;
    bool ok;
    {
        capture err(stderr);
        ok = parse_rep_counts(line, counts, &sum, &sd);
        message = err.finish();
    }

    // The model, field by field.
    std::string first_bad;
    bool want_ok = true;
    double want_sum = 0.0;
    for (uint64_t k = 1; k < fields; ++k) {
        const char *field = vp_dsv_line_get_fields_ae(line, k);
        char *end;
        double v = std::strtof(field, &end);
        if (*end != '\0') {
            want_ok = false;
            first_bad = field;
            break;
        }
        want_sum += v;
    }
    require(ok == want_ok, "validity differs from a whole strtof conversion of every field");
    if (ok) {
        require(message.empty(), "a valid row wrote a message", message);
        for (uint64_t k = 1; k < fields; ++k) {
            double v = std::strtof(vp_dsv_line_get_fields_ae(line, k), nullptr);
            require(same_double(counts[k - 1], v), "an entry differs from its field",
                    std::to_string(k));
        }
        require(same_double(sum, want_sum), "the sum is not the column-order sum");
        double mean = want_sum / static_cast<double>(reps);
        double squares = 0.0;
        for (uint64_t k = 0; k < reps; ++k)
            squares += (counts[k] - mean) * (counts[k] - mean);
        require(same_double(sd, std::sqrt(squares / static_cast<double>(reps))),
                "the standard deviation does not divide by the replicate count");
        require(std::isnan(sd) || sd >= 0.0, "negative standard deviation");
    } else {
        require(message == "mirdle: Invalid abundance: " + first_bad + "\n",
                "the message does not name the first invalid field", message);
    }
    delete[] counts;
    vp_dsv_line_free(line);
    return 0;
}
