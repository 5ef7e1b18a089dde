// Helpers shared by the fuzz targets: a model of line splitting, capture of
// the standard streams, compression with the libraries themselves, simple
// whole-buffer decoders, and scratch files.
#ifndef DRANVEL_FUZZ_UTIL_H
#define DRANVEL_FUZZ_UTIL_H

#include <bzlib.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "vp_dsv.h"

namespace fuzz {

// A failed property: print what is wrong and abort, so libFuzzer keeps the
// input as a crash.
[[noreturn]] inline void violated(const char *what, const std::string &detail = {})
{
    std::fprintf(stderr, "property violated: %s\n", what);
    if (!detail.empty())
        std::fprintf(stderr, "  %s\n", detail.c_str());
    std::abort();
}

inline void require(bool ok, const char *what, const std::string &detail = {})
{
    if (!ok)
        violated(what, detail);
}

// The lines of a text as the line reader must deliver them: every segment
// ended by '\n', plus a last segment that holds at least one byte.
inline std::vector<std::string> split_lines(std::string_view text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// The lines of a table as the line reader delivers them: one carriage return
// right before a newline, or at the very end, belongs to the line end.
inline std::vector<std::string> split_table_lines(std::string_view text)
{
    std::vector<std::string> lines = split_lines(text);
    for (std::string &line : lines)
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    return lines;
}

inline std::vector<std::string> split_fields(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        if (tab == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

// What one call of vp_dsv_line_read gave: its result and, after a whole line,
// the fields joined again by tabs.
struct read_step {
    int result;
    std::string joined;
};

// More results than any input of the targets can give: the bound on one
// reading, so that a reader that never ends is reported instead of hanging.
inline constexpr size_t max_reads = size_t{1} << 24;

// Reads a stream to its end (or its first read error) and checks the shape
// of every line object on the way: the field count, the tab-joined text, and
// that an index past the fields yields nothing.
inline std::vector<read_step> read_all(FILE *stream, size_t max_steps)
{
    std::vector<read_step> steps;
    vp_dsv_line *line = vp_dsv_line_new();
    require(line != nullptr, "vp_dsv_line_new returned NULL");
    while (steps.size() < max_steps) {
        int r = vp_dsv_line_read(line, stream, "\t");
        read_step s{r, {}};
        if (r == '\n') {
            uint64_t n = vp_dsv_line_get_num_fields(line);
            require(n >= 1, "a whole line has no field");
            for (uint64_t k = 0; k < n; ++k) {
                const char *f = vp_dsv_line_get_fields_ae(line, k);
                require(f != nullptr, "field below the count is NULL");
                require(std::strchr(f, '\t') == nullptr, "a field holds a tab");
                if (k)
                    s.joined += '\t';
                s.joined += f;
            }
            require(vp_dsv_line_get_fields_ae(line, n) == nullptr, "field past the count");
        } else {
            require(r == EOF || r == VP_DSV_READ_ERROR || r == VP_DSV_NUL_BYTE,
                    "unknown read result", std::to_string(r));
        }
        steps.push_back(std::move(s));
        if (r == EOF || r == VP_DSV_READ_ERROR)
            break;
    }
    require(!steps.empty() && (steps.back().result == EOF || steps.back().result == VP_DSV_READ_ERROR),
            "the reading did not end", std::to_string(steps.size()) + " results");
    vp_dsv_line_free(line);
    return steps;
}

// Checks the steps against the expected lines of a text read without fault:
// each line comes back whole (or as a NUL-byte result when it holds a NUL),
// in order, followed by one clean EOF.
inline void check_lines(const std::vector<read_step> &steps, const std::vector<std::string> &want,
                        const char *how)
{
    std::string where = how;
    require(steps.size() == want.size() + 1, "wrong number of read results",
            where + ": " + std::to_string(steps.size()) + " for " +
                std::to_string(want.size()) + " lines");
    for (size_t i = 0; i < want.size(); ++i) {
        bool nul = want[i].find('\0') != std::string::npos;
        if (nul) {
            require(steps[i].result == VP_DSV_NUL_BYTE, "a line with a NUL byte was not refused",
                    where + ", line " + std::to_string(i));
        } else {
            require(steps[i].result == '\n', "a whole line did not end with newline",
                    where + ", line " + std::to_string(i) + ", result " +
                        std::to_string(steps[i].result));
            require(steps[i].joined == want[i], "fields joined by tabs differ from the line",
                    where + ", line " + std::to_string(i));
        }
    }
    require(steps.back().result == EOF, "the data did not end with EOF", where);
}

// Points a standard stream variable (stdout or stderr) at a memory stream for
// the lifetime of the object.  glibc's stdout and stderr are plain variables.
class capture {
public:
    explicit capture(FILE *&which) : which_(which), saved_(which)
    {
        mem_ = open_memstream(&buf_, &len_);
        require(mem_ != nullptr, "open_memstream failed");
        which_ = mem_;
    }
    capture(const capture &) = delete;
    capture &operator=(const capture &) = delete;
    // Ends the capture and returns what was written.
    std::string finish()
    {
        if (mem_ != nullptr) {
            which_ = saved_;
            std::fclose(mem_);
            mem_ = nullptr;
            text_.assign(buf_, len_);
            std::free(buf_);
            buf_ = nullptr;
        }
        return text_;
    }
    ~capture() { finish(); }

private:
    FILE *&which_;
    FILE *saved_;
    FILE *mem_ = nullptr;
    char *buf_ = nullptr;
    size_t len_ = 0;
    std::string text_;
};

enum class codec { gzip, bzip2, xz };

inline const char *suffix_of(codec c)
{
    return c == codec::gzip ? ".gz" : c == codec::bzip2 ? ".bz2" : ".xz";
}

inline std::string compress(codec c, const std::string &data)
{
    std::string out;
    switch (c) {
    case codec::gzip: {
        z_stream z{};
        // Small encoder state keeps the targets fast; the output is an
        // ordinary gzip member all the same.
        require(deflateInit2(&z, 6, Z_DEFLATED, 9 + 16, 1, Z_DEFAULT_STRATEGY) == Z_OK,
                "deflateInit2");
        out.resize(deflateBound(&z, data.size()) + 32);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        require(deflate(&z, Z_FINISH) == Z_STREAM_END, "deflate");
        out.resize(z.total_out);
        deflateEnd(&z);
        break;
    }
    case codec::bzip2: {
        unsigned len = static_cast<unsigned>(data.size() + data.size() / 100 + 600);
        out.resize(len);
        require(BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char *>(data.data()),
                                         static_cast<unsigned>(data.size()), 1, 0, 0) == BZ_OK,
                "BZ2_bzBuffToBuffCompress");
        out.resize(len);
        break;
    }
    case codec::xz: {
        // Preset 0 with the smallest dictionary: an ordinary .xz stream from
        // a small encoder.
        lzma_options_lzma opt;
        require(lzma_lzma_preset(&opt, 0) == 0, "lzma_lzma_preset");
        opt.dict_size = LZMA_DICT_SIZE_MIN;
        lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
        out.resize(lzma_stream_buffer_bound(data.size()));
        size_t pos = 0;
        require(lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC64, nullptr,
                                          reinterpret_cast<const uint8_t *>(data.data()),
                                          data.size(), reinterpret_cast<uint8_t *>(out.data()),
                                          &pos, out.size()) == LZMA_OK,
                "lzma_stream_buffer_encode");
        out.resize(pos);
        break;
    }
    }
    return out;
}

// Decodes a whole file at once with the library's plainest interface; the
// same acceptance rules as the stream reader: gzip (or zlib) members back to
// back, bzip2 streams back to back, concatenated xz streams.  Returns false
// for anything that is not such a file, cut short, or longer than limit.
inline bool decode_whole(codec c, const std::string &in, std::string &out, size_t limit)
{
    out.clear();
    static std::string chunk(64 * 1024, '\0');
    switch (c) {
    case codec::gzip: {
        size_t pos = 0;
        do {
            z_stream z{};
            if (inflateInit2(&z, 15 + 32) != Z_OK)
                return false;
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data() + pos));
            z.avail_in = static_cast<uInt>(in.size() - pos);
            int r;
            do {
                z.next_out = reinterpret_cast<Bytef *>(chunk.data());
                z.avail_out = static_cast<uInt>(chunk.size());
                r = inflate(&z, Z_NO_FLUSH);
                out.append(chunk.data(), chunk.size() - z.avail_out);
            } while (r == Z_OK && out.size() <= limit);
            pos = in.size() - z.avail_in;
            inflateEnd(&z);
            if (r != Z_STREAM_END)
                return false;
        } while (pos < in.size());
        return true;
    }
    case codec::bzip2: {
        size_t pos = 0;
        do {
            bz_stream bz{};
            if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
                return false;
            bz.next_in = const_cast<char *>(in.data() + pos);
            bz.avail_in = static_cast<unsigned>(in.size() - pos);
            int r;
            do {
                bz.next_out = chunk.data();
                bz.avail_out = static_cast<unsigned>(chunk.size());
                r = BZ2_bzDecompress(&bz);
                out.append(chunk.data(), chunk.size() - bz.avail_out);
            } while (r == BZ_OK && out.size() <= limit &&
                     (bz.avail_in > 0 || bz.avail_out == 0));
            pos = in.size() - bz.avail_in;
            BZ2_bzDecompressEnd(&bz);
            if (r != BZ_STREAM_END)
                return false;
        } while (pos < in.size());
        return true;
    }
    case codec::xz: {
        lzma_stream x = LZMA_STREAM_INIT;
        if (lzma_stream_decoder(&x, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK)
            return false;
        x.next_in = reinterpret_cast<const uint8_t *>(in.data());
        x.avail_in = in.size();
        lzma_ret r;
        do {
            x.next_out = reinterpret_cast<uint8_t *>(chunk.data());
            x.avail_out = chunk.size();
            r = lzma_code(&x, LZMA_FINISH);
            out.append(chunk.data(), chunk.size() - x.avail_out);
        } while (r == LZMA_OK && out.size() <= limit);
        lzma_end(&x);
        return r == LZMA_STREAM_END;
    }
    }
    return false;
}

// A scratch file for this process, rewritten for every input.
class scratch_file {
public:
    explicit scratch_file(const char *suffix)
    {
        const char *dir = std::getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/dranvel-fuzz-" +
                std::to_string(getpid()) + "-" + std::to_string(counter()++) + suffix;
    }
    scratch_file(const scratch_file &) = delete;
    scratch_file &operator=(const scratch_file &) = delete;
    ~scratch_file() { unlink(path_.c_str()); }
    const char *write(const std::string &bytes)
    {
        FILE *f = std::fopen(path_.c_str(), "wb");
        require(f != nullptr, "cannot create a scratch file", path_);
        require(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() &&
                    std::fclose(f) == 0,
                "cannot write a scratch file", path_);
        return path_.c_str();
    }

private:
    static unsigned &counter()
    {
        static unsigned n = 0;
        return n;
    }
    std::string path_;
};

// fmemopen refuses an empty buffer on some C libraries; one byte of storage
// with a size of zero is never needed, so an empty text reads from /dev/null.
inline FILE *open_text(const std::string &text)
{
    if (text.empty())
        return std::fopen("/dev/null", "r");
    return fmemopen(const_cast<char *>(text.data()), text.size(), "r");
}

}  // namespace fuzz

#endif
