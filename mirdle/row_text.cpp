#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vp_alloc.h"

void row_text::release()
{
    vp_free(data);
    data = nullptr;
    len = cap = 0;
}

void stream_sink::put(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(stream, format, args);
    va_end(args);
    // Taken at once: the next number's conversion may set errno.
    if (written < 0 && err == 0)
        err = errno ? errno : EIO;
}

void text_sink::put(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vput(format, args);
    va_end(args);
}

void text_sink::vput(const char *format, va_list args)
{
    row_text &t = *text;
    if (t.failed)
        return;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int need = std::vsnprintf(t.data ? t.data + t.len : nullptr,
                                        t.data ? t.cap - t.len : 0, format, copy);
        va_end(copy);
        if (need < 0) {
            t.failed = true;
            return;
        }
        if (t.data && t.len + static_cast<size_t>(need) < t.cap) {
            t.len += static_cast<size_t>(need);
            return;
        }
        size_t cap = t.cap ? t.cap : 256;
        while (cap <= t.len + static_cast<size_t>(need))
            cap *= 2;
        char *grown = static_cast<char *>(vp_malloc(cap, 1));
        if (grown == nullptr) {
            t.failed = true;
            return;
        }
        if (t.len)
            std::memcpy(grown, t.data, t.len);
        vp_free(t.data);
        t.data = grown;
        t.cap = cap;
    }
}
