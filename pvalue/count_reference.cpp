#include "count_reference.h"

#include <cstdlib>

#include "draws.h"
#include "exact_ratio.h"
#include "sampled_params.h"

namespace {

struct tally {
    const observed_ratio &r;
    uint64_t above = 0;
    uint64_t below = 0;
    uint64_t sampled = 0;

    void count(const count_pair *list, const uint64_t *pos, unsigned k)
    {
        double s1 = list[pos[0]].first;
        double s2 = list[pos[0]].second;
        for (unsigned i = 1; i < k; ++i) {
            s1 += list[pos[i]].first;
            s2 += list[pos[i]].second;
        }
        ++sampled;
        const fc_class c = classify_fc(s1, s2, r);
        above += c == fc_class::above;
        below += c == fc_class::below;
    }
};

void exhaustive(tally &t, const count_pair *list, uint64_t n, unsigned k, uint64_t *pos,
                unsigned depth, uint64_t from)
{
    for (uint64_t q = from; q < n; ++q) {
        pos[depth] = q;
        if (depth + 1 == k)
            t.count(list, pos, k);
        else
            exhaustive(t, list, n, k, pos, depth + 1, q + 1);
    }
}

struct walk {
    tally &t;
    const count_pair *list;
    uint64_t n;
    unsigned p;
    unsigned stride;
    draw_fn draw;
    void *ctx;
    uint64_t pos[16];

    // Level `depth` (0-based) takes start, start + stride, ... below n.
    void level(unsigned depth, uint64_t start)
    {
        for (uint64_t v = start; v < n; v += stride) {
            pos[depth] = v;
            if (depth + 1 == p) {
                t.count(list, pos, p);
            } else {
                uint64_t x = static_cast<uint64_t>(draw(ctx));
                level(depth + 1, v + 1 + x % stride);
            }
        }
    }
};

template <unsigned K>
uint64_t reference_member(const count_pair *list, uint64_t n, uint64_t *fcs_sampled,
                          const observed_ratio &fc)
{
    if constexpr (K <= 4) {
        return reference_count_exhaustive(list, n, K, fcs_sampled, fc);
    } else {
        constexpr sampled_params m = sampled_params_for(K);
        return reference_count_sampled(list, n, K, m.stride, m.sweeps, fcs_sampled, fc,
                                       reference_libc_draw, nullptr);
    }
}

}  // namespace

uint64_t reference_count_exhaustive(const count_pair *pair_list, uint64_t list_len, unsigned k,
                                    uint64_t *fcs_sampled, const observed_ratio &observed)
{
    tally t{observed};
    uint64_t pos[16];
    if (k >= 1 && k <= 16)
        exhaustive(t, pair_list, list_len, k, pos, 0, 0);
    if (Debug)
        print_count_trace(observed.fc, t.above, 1.0 / observed.fc, t.below);
    *fcs_sampled = t.sampled;
    return t.above + t.below;
}

uint64_t reference_count_sampled(const count_pair *pair_list, uint64_t list_len, unsigned p,
                                 unsigned stride, unsigned sweeps, uint64_t *fcs_sampled,
                                 const observed_ratio &observed, draw_fn draw, void *ctx)
{
    tally t{observed};
    walk w{t, pair_list, list_len, p, stride, draw, ctx, {}};
    if (p >= 2 && p <= 16)
        for (unsigned sweep = 0; sweep < sweeps; ++sweep)
            w.level(0, 0);
    if (Debug)
        print_count_trace(observed.fc, t.above, 1.0 / observed.fc, t.below);
    *fcs_sampled = t.sampled;
    return t.above + t.below;
}

long reference_libc_draw(void *)
{
    if (pvalue_call_stream != nullptr)
        return vp_random_stream_next(*pvalue_call_stream);
    return random();
}

const count_fn reference_count_table[count_table_size] = {
    reference_member<2>,  reference_member<3>,  reference_member<4>, reference_member<5>,
    reference_member<6>,  reference_member<7>,  reference_member<8>, reference_member<9>,
    reference_member<10>, reference_member<11>, reference_member<12>,
};
