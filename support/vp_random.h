#ifndef VP_RANDOM_H
#define VP_RANDOM_H

#include <cstdint>
#include <cstdlib>

// The process-wide generator shared by sampled counting and the simulator.
//
// In production it is a private, lock-free copy of the C library's
// additive-feedback random() (glibc's TYPE_3: x[n] = x[n-31] + x[n-3] on 32-bit
// words, output x[n] >> 1): the same sequence after the same srandom(seed), and
// from the default state, which the C library defines as srandom(1).  glibc's
// random() takes a lock on every call; this does not, and it refills a batch of
// outputs at a time.  Builds without glibc, and reference builds, call random()
// and srandom() themselves so the sequence is still the platform's.

#if defined(__GLIBC__) && !defined(DRANVEL_REFERENCE_KERNELS)
#define VP_RANDOM_PRIVATE 1
#else
#define VP_RANDOM_PRIVATE 0
#endif

namespace vp_detail {
inline constexpr unsigned random_lag = 31;
// Words kept before the position: the 31 of the recurrence, and as many more
// as the vector refill's longer form of it reads (46), rounded up.
inline constexpr unsigned random_history = 48;
inline constexpr unsigned random_batch = 1024;
inline constexpr unsigned random_end = random_history + random_batch;
struct random_state {
    // words[pos - 48 .. pos - 1] are the last 48 words of the sequence;
    // words[pos .. end) are generated but not yet handed out.
    uint32_t words[random_end];
    unsigned pos;
};
extern random_state g_random;
// Makes at least `count` (1 to random_batch) outputs available at s.pos,
// without consuming any: the unused outputs and the 48 words before them move
// to the front of the buffer and the rest is generated after them.
void random_reserve(random_state &s, unsigned count);

// How the buffer is refilled: one word at a time, or sixteen at a time with
// AVX-512 (the same words).  The faster one this CPU runs is chosen at start;
// tests may force the other.  Returns false, changing nothing, if the CPU
// cannot run the one asked for.
enum class random_refill { scalar, avx512 };
bool random_force_refill(random_refill r);
random_refill random_active_refill();
}  // namespace vp_detail

// A value in [0, 2^31), advancing the one process-wide sequence.
// Internal linkage: files built with wider instruction sets must not lend their
// copy to baseline callers.
static inline int32_t vp_random()
{
#if VP_RANDOM_PRIVATE
    vp_detail::random_state &s = vp_detail::g_random;
    if (s.pos == vp_detail::random_end) [[unlikely]]
        vp_detail::random_reserve(s, 1);
    return static_cast<int32_t>(s.words[s.pos++] >> 1);
#else
    return static_cast<int32_t>(random());
#endif
}

// Bulk access for callers that take many outputs in a row and want to work
// on them a batch at a time (the sampled walks use only residues of them).
// Private generator only (vp_random_is_private()).  The outputs not yet
// handed out are words[begin .. end), each output being its word >> 1; there
// is at least one, and end never exceeds vp_random_batch_capacity.
struct vp_random_batch {
    const uint32_t *words;
    unsigned begin;
    unsigned end;
};
inline constexpr unsigned vp_random_batch_capacity = vp_detail::random_end;
vp_random_batch vp_random_upcoming();
// Hands out every output of the last batch before index pos (begin <= pos <=
// end): the next vp_random() or batch continues from there.
void vp_random_consume_to(unsigned pos);

// Seeds the process-wide sequence exactly as srandom(seed) would.
void vp_srandom(unsigned int seed);

// A sequence of its own, of the same generator as the private copy above, on
// every platform: what one computation draws from when its draws must depend
// on nothing that ran before it, on any thread.  Seeded as srandom(seed)
// would seed glibc's TYPE_3 generator; its outputs and batches are those of
// the process-wide sequence after vp_srandom(seed).
struct vp_random_stream {
    vp_detail::random_state state;
};
void vp_random_stream_seed(vp_random_stream &s, unsigned int seed);
int32_t vp_random_stream_next(vp_random_stream &s);
vp_random_batch vp_random_stream_upcoming(vp_random_stream &s);
void vp_random_stream_consume_to(vp_random_stream &s, unsigned pos);

// True when vp_random is the private copy rather than the C library's call.
constexpr bool vp_random_is_private() { return VP_RANDOM_PRIVATE != 0; }

#endif
