#include "vp_random.h"

#include <cstring>

#include "random_refill.h"
#include "vp_cpu.h"

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
    for (unsigned i = s.pos; i < random_end; ++i)
        s.words[i] = s.words[i - 31] + s.words[i - 3];
    return s;
}

random_refill best_refill()
{
    return vp_cpu().avx512f ? random_refill::avx512 : random_refill::scalar;
}

random_refill active_refill = best_refill();

}  // namespace

// words[from .. to) from the words before them, with the recurrence as it
// stands: each word waits for the one three places before it, so the three
// most recent words stay in registers (read back from memory, each would wait
// on the store of the one three places before it).
void random_generate_scalar(uint32_t *words, unsigned from, unsigned to)
{
    uint32_t a = words[from - 3], b = words[from - 2], c = words[from - 1];
    unsigned i = from;
    for (; i + 3 <= to; i += 3) {
        a += words[i - 31];
        words[i] = a;
        b += words[i - 30];
        words[i + 1] = b;
        c += words[i - 29];
        words[i + 2] = c;
    }
    if (i < to) {
        a += words[i - 31];
        words[i++] = a;
    }
    if (i < to)
        words[i] = b + words[i - 31];
}

bool random_force_refill(random_refill r)
{
    if (r == random_refill::avx512 && best_refill() != random_refill::avx512)
        return false;
    active_refill = r;
    return true;
}

random_refill random_active_refill()
{
    return active_refill;
}

// The C library's default state is that of srandom(1); computing it at compile
// time keeps vp_random free of a first-call check.
constinit random_state g_random = seeded_state(1);

void random_reserve(random_state &s, unsigned count)
{
    if (s.pos + count <= random_end)
        return;
    const unsigned keep = random_history + (random_end - s.pos);
    std::memmove(s.words, s.words + (s.pos - random_history), keep * sizeof s.words[0]);
    if (active_refill == random_refill::avx512)
        random_generate_avx512(s.words, keep, random_end);
    else
        random_generate_scalar(s.words, keep, random_end);
    s.pos = random_history;
}

}  // namespace vp_detail

vp_random_batch vp_random_upcoming()
{
#if VP_RANDOM_PRIVATE
    vp_detail::random_state &s = vp_detail::g_random;
    if (s.pos == vp_detail::random_end)
        vp_detail::random_reserve(s, 1);
    return {s.words, s.pos, vp_detail::random_end};
#else
    return {nullptr, 0, 0};
#endif
}

void vp_random_consume_to(unsigned pos)
{
#if VP_RANDOM_PRIVATE
    vp_detail::g_random.pos = pos;
#else
    (void)pos;
#endif
}

void vp_srandom(unsigned int seed)
{
#if VP_RANDOM_PRIVATE
    vp_detail::g_random = vp_detail::seeded_state(seed);
#else
    srandom(seed);
#endif
}

void vp_random_stream_seed(vp_random_stream &s, unsigned int seed)
{
    s.state = vp_detail::seeded_state(seed);
}

int32_t vp_random_stream_next(vp_random_stream &s)
{
    if (s.state.pos == vp_detail::random_end) [[unlikely]]
        vp_detail::random_reserve(s.state, 1);
    return static_cast<int32_t>(s.state.words[s.state.pos++] >> 1);
}

vp_random_batch vp_random_stream_upcoming(vp_random_stream &s)
{
    if (s.state.pos == vp_detail::random_end)
        vp_detail::random_reserve(s.state, 1);
    return {s.state.words, s.state.pos, vp_detail::random_end};
}

void vp_random_stream_consume_to(vp_random_stream &s, unsigned pos)
{
    s.state.pos = pos;
}
