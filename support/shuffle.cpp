#include "vp_shuffle.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// splitmix64: small, fast, and independent of random().
struct splitmix {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// Uniform in [0, bound) by multiply-and-reject, without modulo bias.
uint64_t below(splitmix &g, uint64_t bound)
{
    unsigned __int128 m = static_cast<unsigned __int128>(g.next()) * bound;
    uint64_t low = static_cast<uint64_t>(m);
    if (low < bound) {
        const uint64_t threshold = -bound % bound;
        while (low < threshold) {
            m = static_cast<unsigned __int128>(g.next()) * bound;
            low = static_cast<uint64_t>(m);
        }
    }
    return static_cast<uint64_t>(m >> 64);
}

uint64_t mix(uint64_t h, uint64_t word)
{
    h = (h ^ word) * 0x9e3779b97f4a7c15ULL;
    return h ^ (h >> 29);
}

// A hash of the records in their canonical order: the seed of the shuffle.
uint64_t content_hash(const unsigned char *bytes, size_t count, size_t size)
{
    uint64_t h = mix(0x243f6a8885a308d3ULL ^ size, count);
    const size_t total = count * size;
    size_t off = 0;
    for (; off + 8 <= total; off += 8) {
        uint64_t w;
        std::memcpy(&w, bytes + off, 8);
        h = mix(h, w);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, bytes + off, total - off);
    h = mix(h, tail ^ (total - off));
    splitmix finish{h};
    return finish.next();
}

void swap_records(unsigned char *a, unsigned char *b, size_t size)
{
    unsigned char tmp[64];
    for (size_t off = 0; off < size; off += sizeof tmp) {
        const size_t n = size - off < sizeof tmp ? size - off : sizeof tmp;
        std::memcpy(tmp, a + off, n);
        std::memcpy(a + off, b + off, n);
        std::memcpy(b + off, tmp, n);
    }
}

// The records are the caller's (doubles, for the pair list): read as words
// through a type that may alias them.
struct [[gnu::may_alias]] record16 {
    uint64_t a, b;
};

void canonical_order(unsigned char *bytes, size_t count, size_t size)
{
    if (size == sizeof(record16)) {
        // Whole words compared as unsigned numbers: a total order in which
        // two records are equal exactly when their bytes are.
        record16 *r = reinterpret_cast<record16 *>(bytes);
        std::sort(r, r + count, [](const record16 &x, const record16 &y) {
            return x.a != y.a ? x.a < y.a : x.b < y.b;
        });
        return;
    }
    // Any other record size: insertion by memcmp, moving a record down by
    // swaps with its neighbour, so no buffer of its size is needed.
    for (size_t i = 1; i < count; ++i)
        for (size_t j = i; j > 0 && std::memcmp(bytes + (j - 1) * size, bytes + j * size, size) > 0;
             --j)
            swap_records(bytes + (j - 1) * size, bytes + j * size, size);
}

}  // namespace

uint64_t vp_shuffle(void *base, size_t count, size_t size)
{
    if (count < 2 || size == 0)
        return 0;
    unsigned char *bytes = static_cast<unsigned char *>(base);
    canonical_order(bytes, count, size);
    const uint64_t seed = content_hash(bytes, count, size);
    splitmix g{seed};
    for (size_t i = count; i > 1; --i) {
        const size_t j = below(g, i);
        if (j != i - 1)
            swap_records(bytes + (i - 1) * size, bytes + j * size, size);
    }
    return seed;
}
