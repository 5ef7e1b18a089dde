#include "vp_random.h"

#include <cstring>

namespace vp_detail {

namespace {

// Fills the 31-word table exactly as glibc's srandom_r does for TYPE_3, then
// lays it out oldest word first (the word at the front pointer, index 3, is the
// oldest) and skips the 310 outputs that srandom discards.
constexpr random_state seeded_state(unsigned int seed)
{
    if (seed == 0)
        seed = 1;
    int32_t table[random_lag] = {};
    table[0] = static_cast<int32_t>(seed);
    int32_t word = static_cast<int32_t>(seed);
    for (unsigned i = 1; i < random_lag; ++i) {
        long hi = word / 127773;
        long lo = word % 127773;
        word = static_cast<int32_t>(16807 * lo - 2836 * hi);
        if (word < 0)
            word += 2147483647;
        table[i] = word;
    }
    random_state s{};
    for (unsigned i = 0; i < random_lag; ++i)
        s.words[i] = static_cast<uint32_t>(table[(3 + i) % random_lag]);
    for (unsigned i = random_lag; i < random_lag + 310; ++i)
        s.words[i] = s.words[i - 31] + s.words[i - 3];
    s.pos = random_lag + 310;
    for (unsigned i = s.pos; i < random_lag + random_batch; ++i)
        s.words[i] = s.words[i - 31] + s.words[i - 3];
    return s;
}

}  // namespace

// The C library's default state is that of srandom(1); computing it at compile
// time keeps vp_random free of a first-call check.
constinit random_state g_random = seeded_state(1);

void random_reserve(random_state &s, unsigned count)
{
    constexpr unsigned end = random_lag + random_batch;
    if (s.pos + count <= end)
        return;
    const unsigned keep = random_lag + (end - s.pos);
    std::memmove(s.words, s.words + (s.pos - random_lag), keep * sizeof s.words[0]);
    // The three most recent words stay in registers: read back from memory,
    // each word would wait on the store of the one three places before it
    // (and partially overlapping vector loads defeat store forwarding).
    uint32_t a = s.words[keep - 3], b = s.words[keep - 2], c = s.words[keep - 1];
    unsigned i = keep;
    for (; i + 3 <= end; i += 3) {
        a += s.words[i - 31];
        s.words[i] = a;
        b += s.words[i - 30];
        s.words[i + 1] = b;
        c += s.words[i - 29];
        s.words[i + 2] = c;
    }
    if (i < end) {
        a += s.words[i - 31];
        s.words[i++] = a;
    }
    if (i < end)
        s.words[i] = b + s.words[i - 31];
    s.pos = random_lag;
}

}  // namespace vp_detail

void vp_srandom(unsigned int seed)
{
#if VP_RANDOM_PRIVATE
    vp_detail::g_random = vp_detail::seeded_state(seed);
#else
    srandom(seed);
#endif
}
