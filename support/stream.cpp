#include "vp_stream.h"

#include <bzlib.h>
#include <cerrno>
#include <cstring>
#include <lzma.h>
#include <new>
#include <sys/stat.h>
#include <sys/types.h>
#include <zlib.h>

namespace {

enum class format { plain, gzip, bzip2, xz };

bool ends_with(const char *s, const char *suffix)
{
    size_t n = std::strlen(s), m = std::strlen(suffix);
    return n >= m && std::memcmp(s + n - m, suffix, m) == 0;
}

format format_of(const char *path)
{
    if (ends_with(path, ".gz"))
        return format::gzip;
    if (ends_with(path, ".bz2"))
        return format::bzip2;
    if (ends_with(path, ".xz"))
        return format::xz;
    return format::plain;
}

// fopen succeeds on a directory opened for reading; the first read would then
// fail with a less helpful error, so refuse it here.
FILE *open_file(const char *path, const char *mode)
{
    FILE *f = std::fopen(path, mode);
    if (!f)
        return nullptr;
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        int e = errno;
        std::fclose(f);
        errno = e;
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        std::fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

constexpr size_t in_capacity = 64 * 1024;

// Largest output handed to a decoder in one call; zlib and libbz2 count in
// unsigned int.
constexpr size_t out_chunk = size_t{1} << 30;

enum class step { ok, member_end, end, corrupt, no_memory };

struct decoder {
    FILE *src;
    format fmt;
    const unsigned char *next;
    size_t avail;
    bool src_eof;
    bool done;
    bool member_done;  // gzip and bzip2: one member ended, maybe another follows
    bool live;         // the library's stream state is initialised
    int err;           // sticky: once set, every read fails with it
    z_stream z;
    bz_stream bz;
    lzma_stream xz;
    decoder *prev_open;
    decoder *next_open;
    unsigned char in[in_capacity];
};

// Every open decoder stays reachable from here.  Error paths end the process
// with streams still open, by design; this keeps leak checkers from taking
// that for a leak.
decoder *open_decoders;

void link_open(decoder *d)
{
    d->next_open = open_decoders;
    if (open_decoders)
        open_decoders->prev_open = d;
    open_decoders = d;
}

void unlink_open(decoder *d)
{
    if (d->prev_open)
        d->prev_open->next_open = d->next_open;
    else
        open_decoders = d->next_open;
    if (d->next_open)
        d->next_open->prev_open = d->prev_open;
}

bool start(decoder &d)
{
    switch (d.fmt) {
    case format::gzip:
        // 15 + 32: full window, gzip or zlib header detected automatically.
        d.live = inflateInit2(&d.z, 15 + 32) == Z_OK;
        break;
    case format::bzip2:
        d.live = BZ2_bzDecompressInit(&d.bz, 0, 0) == BZ_OK;
        break;
    case format::xz:
        d.live = lzma_stream_decoder(&d.xz, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK;
        break;
    case format::plain:
        break;
    }
    return d.live;
}

void stop(decoder &d)
{
    if (!d.live)
        return;
    switch (d.fmt) {
    case format::gzip:
        inflateEnd(&d.z);
        break;
    case format::bzip2:
        BZ2_bzDecompressEnd(&d.bz);
        break;
    case format::xz:
        lzma_end(&d.xz);
        break;
    case format::plain:
        break;
    }
    d.live = false;
}

step step_gzip(decoder &d, char *out, size_t cap, size_t &produced)
{
    if (d.member_done) {
        // The caller refills before every step, so no input here means the
        // file has ended, and it ended on a member boundary.
        if (d.avail == 0)
            return step::end;
        // Anything after a member must be another member; inflate rejects
        // other bytes as a bad header.
        if (inflateReset(&d.z) != Z_OK)
            return step::corrupt;
        d.member_done = false;
    }
    d.z.next_in = const_cast<Bytef *>(d.next);
    d.z.avail_in = static_cast<uInt>(d.avail);
    d.z.next_out = reinterpret_cast<Bytef *>(out);
    d.z.avail_out = static_cast<uInt>(cap);
    int r = inflate(&d.z, Z_NO_FLUSH);
    produced = cap - d.z.avail_out;
    d.next = d.z.next_in;
    d.avail = d.z.avail_in;
    switch (r) {
    case Z_OK:
    case Z_BUF_ERROR:
        return step::ok;
    case Z_STREAM_END:
        d.member_done = true;
        return step::member_end;
    case Z_MEM_ERROR:
        return step::no_memory;
    default:
        return step::corrupt;
    }
}

step step_bzip2(decoder &d, char *out, size_t cap, size_t &produced)
{
    if (d.member_done) {
        if (d.avail == 0)
            return step::end;
        int r = BZ2_bzDecompressInit(&d.bz, 0, 0);
        if (r != BZ_OK)
            return r == BZ_MEM_ERROR ? step::no_memory : step::corrupt;
        d.live = true;
        d.member_done = false;
    }
    d.bz.next_in = const_cast<char *>(reinterpret_cast<const char *>(d.next));
    d.bz.avail_in = static_cast<unsigned>(d.avail);
    d.bz.next_out = out;
    d.bz.avail_out = static_cast<unsigned>(cap);
    int r = BZ2_bzDecompress(&d.bz);
    produced = cap - d.bz.avail_out;
    d.next = reinterpret_cast<const unsigned char *>(d.bz.next_in);
    d.avail = d.bz.avail_in;
    switch (r) {
    case BZ_OK:
        return step::ok;
    case BZ_STREAM_END:
        BZ2_bzDecompressEnd(&d.bz);
        d.live = false;
        d.member_done = true;
        return step::member_end;
    case BZ_MEM_ERROR:
        return step::no_memory;
    default:
        return step::corrupt;
    }
}

step step_xz(decoder &d, char *out, size_t cap, size_t &produced)
{
    d.xz.next_in = d.next;
    d.xz.avail_in = d.avail;
    d.xz.next_out = reinterpret_cast<uint8_t *>(out);
    d.xz.avail_out = cap;
    // With LZMA_CONCATENATED the decoder only reports the end, or a stream
    // cut short, once it is told that no more input will come.
    lzma_ret r = lzma_code(&d.xz, d.src_eof ? LZMA_FINISH : LZMA_RUN);
    produced = cap - d.xz.avail_out;
    d.next = d.xz.next_in;
    d.avail = d.xz.avail_in;
    switch (r) {
    case LZMA_OK:
        return step::ok;
    case LZMA_STREAM_END:
        return step::end;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return step::no_memory;
    default:
        return step::corrupt;
    }
}

step run_step(decoder &d, char *out, size_t cap, size_t &produced)
{
    switch (d.fmt) {
    case format::gzip:
        return step_gzip(d, out, cap, produced);
    case format::bzip2:
        return step_bzip2(d, out, cap, produced);
    case format::xz:
        return step_xz(d, out, cap, produced);
    case format::plain:
        break;
    }
    return step::corrupt;
}

ssize_t cookie_read(void *cookie, char *buf, size_t size)
{
    decoder &d = *static_cast<decoder *>(cookie);
    if (size > out_chunk)
        size = out_chunk;
    size_t total = 0;
    while (total < size && !d.done && d.err == 0) {
        if (d.avail == 0 && !d.src_eof) {
            size_t n = std::fread(d.in, 1, in_capacity, d.src);
            if (std::ferror(d.src)) {
                d.err = errno != 0 ? errno : EIO;
                break;
            }
            d.next = d.in;
            d.avail = n;
            d.src_eof = std::feof(d.src) != 0;
        }
        size_t before = d.avail, produced = 0;
        step s = run_step(d, buf + total, size - total, produced);
        total += produced;
        switch (s) {
        case step::ok:
            // A decoder that neither consumes nor produces although it has
            // input, or although the file has ended, is waiting for bytes that
            // will never come: the data is truncated.
            if (produced == 0 && d.avail == before && (d.src_eof || d.avail > 0))
                d.err = EIO;
            break;
        case step::member_end:
            break;
        case step::end:
            d.done = true;
            break;
        case step::corrupt:
            d.err = EIO;
            break;
        case step::no_memory:
            d.err = ENOMEM;
            break;
        }
    }
    // Bytes decoded before a fault are delivered first; the fault surfaces on
    // the next call.
    if (total > 0)
        return static_cast<ssize_t>(total);
    if (d.err != 0) {
        errno = d.err;
        return -1;
    }
    return 0;
}

// Only a return to the start is possible: decoding restarts from the first
// byte of the file.  rewind and fseek(stream, 0, SEEK_SET) arrive here.
int cookie_seek(void *cookie, off64_t *pos, int whence)
{
    decoder &d = *static_cast<decoder *>(cookie);
    if (*pos != 0 || whence != SEEK_SET) {
        errno = ESPIPE;
        return -1;
    }
    if (std::fseek(d.src, 0, SEEK_SET) != 0) {
        d.err = errno != 0 ? errno : EIO;
        return -1;
    }
    std::clearerr(d.src);
    stop(d);
    d.next = d.in;
    d.avail = 0;
    d.src_eof = false;
    d.done = false;
    d.member_done = false;
    d.err = 0;
    if (!start(d)) {
        d.err = ENOMEM;
        errno = ENOMEM;
        return -1;
    }
    *pos = 0;
    return 0;
}

int cookie_close(void *cookie)
{
    decoder *d = static_cast<decoder *>(cookie);
    unlink_open(d);
    stop(*d);
    int r = std::fclose(d->src);
    delete d;
    return r == 0 ? 0 : -1;
}

FILE *open_compressed(const char *path, format fmt)
{
    FILE *src = open_file(path, "re");
    if (!src)
        return nullptr;
    decoder *d = new (std::nothrow) decoder{};
    if (!d) {
        std::fclose(src);
        errno = ENOMEM;
        return nullptr;
    }
    d->src = src;
    d->fmt = fmt;
    d->next = d->in;
    d->xz = LZMA_STREAM_INIT;
    if (!start(*d)) {
        std::fclose(src);
        delete d;
        errno = ENOMEM;
        return nullptr;
    }
    cookie_io_functions_t io{};
    io.read = cookie_read;
    io.seek = cookie_seek;
    io.close = cookie_close;
    FILE *f = fopencookie(d, "r", io);
    if (!f) {
        int e = errno;
        stop(*d);
        std::fclose(src);
        delete d;
        errno = e != 0 ? e : ENOMEM;
        return nullptr;
    }
    link_open(d);
    return f;
}

}  // namespace

FILE *vp_fopen(const char *path, const char *mode)
{
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    format fmt = format_of(path);
    if (fmt == format::plain)
        return open_file(path, mode);
    // Checked before touching the file, so a write mode never truncates it.
    if (std::strcmp(mode, "r") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    return open_compressed(path, fmt);
}

int vp_fclose(FILE *stream)
{
    return std::fclose(stream);
}
