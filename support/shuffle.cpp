#include "vp_shuffle.h"

#include <cstdint>
#include <cstring>

namespace {

// splitmix64: small, fast, and independent of random().
uint64_t shuffle_state = 0x9e3779b97f4a7c15ULL;

uint64_t next64()
{
    uint64_t z = (shuffle_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Uniform in [0, bound) by multiply-and-reject, without modulo bias.
uint64_t below(uint64_t bound)
{
    unsigned __int128 m = static_cast<unsigned __int128>(next64()) * bound;
    uint64_t low = static_cast<uint64_t>(m);
    if (low < bound) {
        uint64_t threshold = -bound % bound;
        while (low < threshold) {
            m = static_cast<unsigned __int128>(next64()) * bound;
            low = static_cast<uint64_t>(m);
        }
    }
    return static_cast<uint64_t>(m >> 64);
}

}  // namespace

void vp_shuffle(void *base, size_t count, size_t size)
{
    unsigned char *bytes = static_cast<unsigned char *>(base);
    unsigned char tmp[64];
    for (size_t i = count; i > 1; --i) {
        size_t j = below(i);
        if (j == i - 1)
            continue;
        unsigned char *a = bytes + (i - 1) * size;
        unsigned char *b = bytes + j * size;
        for (size_t off = 0; off < size; off += sizeof tmp) {
            size_t n = size - off < sizeof tmp ? size - off : sizeof tmp;
            std::memcpy(tmp, a + off, n);
            std::memcpy(a + off, b + off, n);
            std::memcpy(b + off, tmp, n);
        }
    }
}
