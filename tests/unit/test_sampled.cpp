// The sampled walk of five to twelve pairs, driven by stub generators through
// the members' generator seam.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "count_reference.h"
#include "pvalue_test_util.h"
#include "scalar_kernel.h"
#include "vp_shuffle.h"
#include "walks.h"

namespace {

// Stride and sweeps of each member, 5 to 12 pairs.
struct member_constants {
    unsigned stride, sweeps;
};
constexpr member_constants constants[] = {{3, 8},   {5, 8},   {7, 4},  {12, 6},
                                          {17, 12}, {22, 12}, {26, 8}, {30, 4}};
constexpr member_constants constants_for(unsigned p)
{
    return constants[p - 5];
}

// Calls f.template operator()<P>() for P = 5 to 12.
template <class F>
void for_each_member(F &&f)
{
    [&]<unsigned... I>(std::integer_sequence<unsigned, I...>) {
        (f.template operator()<I + 5>(), ...);
    }(std::make_integer_sequence<unsigned, 8>{});
}

// Stub generators: each counts its draws and returns values in [0, 2^31).
struct cycling_stub {
    std::vector<int32_t> values;
    size_t next = 0;
    uint64_t draws = 0;
    int32_t operator()()
    {
        ++draws;
        int32_t v = values[next];
        next = (next + 1) % values.size();
        return v;
    }
};

// Every value has the same residue modulo the stride, with varying quotients.
struct residue_stub {
    uint32_t stride, residue;
    uint64_t draws = 0;
    uint64_t state = 1;
    int32_t operator()()
    {
        ++draws;
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        uint32_t quotients = (0x7fffffffu - residue) / stride;
        return static_cast<int32_t>(static_cast<uint32_t>(state >> 33) % quotients * stride +
                                    residue);
    }
};

struct uniform_stub {
    std::mt19937 gen;
    uint64_t draws = 0;
    explicit uniform_stub(unsigned seed) : gen(seed) {}
    int32_t operator()()
    {
        ++draws;
        return static_cast<int32_t>(gen() >> 1);
    }
};

template <class Stub>
long draw_from(void *ctx)
{
    return (*static_cast<Stub *>(ctx))();
}

// Run kernels for the tests: one that records each combination as the sum
// of `first` (lists whose `first` is 2^position make that a bit mask of the
// positions), and one that does nothing, for counting alone.
struct recording_kernel {
    static inline std::vector<uint64_t> masks;
    struct tally {};
    explicit recording_kernel(const kernel_setup &) {}
    void run(tally &, const double *f, const double *, size_t len, double base_f, double) const
    {
        for (size_t i = 0; i < len; ++i)
            masks.push_back(static_cast<uint64_t>(base_f + f[i]));
    }
    void finish(const tally &, uint64_t &, uint64_t &) const {}
};

struct idle_kernel {
    struct tally {};
    explicit idle_kernel(const kernel_setup &) {}
    void run(tally &, const double *, const double *, size_t, double, double) const {}
    void finish(const tally &, uint64_t &, uint64_t &) const {}
};

using plain_kernel = scalar_kernel<fc_mode::division>;

uint64_t mask_of(std::initializer_list<unsigned> positions)
{
    uint64_t m = 0;
    for (unsigned p : positions)
        m |= uint64_t{1} << p;
    return m;
}

TEST(SampledWalk, WorkedExample)
{
    std::vector<count_pair> list;
    for (unsigned i = 0; i < 9; ++i)
        list.push_back({static_cast<double>(1u << i), 1.0});
    cycling_stub stub{{4, 0, 9, 9, 15, 8, 21, 22, 33, 19, 38, 29, 2}};
    const std::vector<uint64_t> sweep{mask_of({0, 2, 3, 4, 5}), mask_of({0, 2, 3, 4, 8}),
                                      mask_of({0, 2, 3, 7, 8})};
    uint64_t sampled = 0;

    recording_kernel::masks.clear();
    sampled_count<5, 3, 1, recording_kernel>(list.data(), 9, &sampled, plain_setup(ratio_of_double(2.0)), stub);
    EXPECT_EQ(stub.draws, 13u);
    EXPECT_EQ(sampled, 3u);
    EXPECT_EQ(recording_kernel::masks, sweep);

    // Every sweep restarts at position 0 and continues the sequence, which
    // here repeats the same 13 values: eight identical sweeps, all counted.
    stub.next = 0;
    stub.draws = 0;
    recording_kernel::masks.clear();
    sampled_count_for<5, recording_kernel>(list.data(), 9, &sampled, plain_setup(ratio_of_double(2.0)), stub);
    EXPECT_EQ(stub.draws, 8 * 13u);
    EXPECT_EQ(sampled, 8 * 3u);
    std::vector<uint64_t> eight;
    for (int i = 0; i < 8; ++i)
        eight.insert(eight.end(), sweep.begin(), sweep.end());
    EXPECT_EQ(recording_kernel::masks, eight);
}

// Combinations and draws per sweep with every residue 0 and every residue
// S - 1, on the list lengths of the member table.
struct per_sweep {
    uint64_t most_combinations, most_draws, fewest_combinations, fewest_draws;
};
constexpr per_sweep stub_table[] = {
    {237336, 41415, 142506, 31930},        {736281, 169938, 296010, 101583},
    {3365856, 906191, 657800, 313911},     {2220075, 888029, 125970, 137979},
    {3124550, 1562274, 48620, 106761},     {5311735, 3158198, 43758, 155381},
    {21474180, 13123109, 31824, 199139},   {86493225, 54627299, 50388, 430103},
};

TEST(SampledWalk, StubTables)
{
    for_each_member([]<unsigned P>() {
        SCOPED_TRACE(testing::Message() << P << " pairs");
        constexpr member_constants m = constants_for(P);
        const per_sweep &want = stub_table[P - 5];
        const std::vector<count_pair> list(pair_list_len(P), count_pair{1.0, 2.0});
        uint64_t sampled = 0;

        // One sweep of the most populous walk keeps this affordable.
        residue_stub most{m.stride, 0};
        sampled_count<P, m.stride, 1, idle_kernel>(list.data(), list.size(), &sampled, plain_setup(ratio_of_double(1.0)), most);
        EXPECT_EQ(sampled, want.most_combinations);
        EXPECT_EQ(most.draws, want.most_draws);

        residue_stub fewest{m.stride, m.stride - 1};
        sampled_count_for<P, idle_kernel>(list.data(), list.size(), &sampled, plain_setup(ratio_of_double(1.0)), fewest);
        EXPECT_EQ(sampled, m.sweeps * want.fewest_combinations);
        EXPECT_EQ(fewest.draws, m.sweeps * want.fewest_draws);
    });

    // The whole five-pair member with residue 0: 8 x 237,336.
    const std::vector<count_pair> list(90, count_pair{1.0, 2.0});
    residue_stub zero{3, 0};
    uint64_t sampled = 0;
    EXPECT_EQ((sampled_count_for<5, plain_kernel>(list.data(), 90, &sampled, plain_setup(ratio_of_double(1.0)), zero)), 1898688u);
    EXPECT_EQ(sampled, 1898688u);
}

TEST(SampledWalk, ListsTooShortForACombination)
{
    for_each_member([]<unsigned P>() {
        SCOPED_TRACE(testing::Message() << P << " pairs");
        const std::vector<count_pair> list(P, count_pair{1.0, 3.0});
        uint64_t sampled = 99;
        uniform_stub stub(P);
        std::string trace = traced([&] {
            EXPECT_EQ((sampled_count_for<P, plain_kernel>(list.data(), 0, &sampled, plain_setup(ratio_of_double(2.0)), stub)), 0u);
        });
        EXPECT_EQ(sampled, 0u);
        EXPECT_EQ(stub.draws, 0u);
        EXPECT_EQ(trace, "FCs > 2.000 = 0         FCs < 0.500 = 0    \n");

        // One record: level 1 takes position 0 and draws once, every sweep.
        sampled = 99;
        EXPECT_EQ((sampled_count_for<P, plain_kernel>(list.data(), 1, &sampled, plain_setup(ratio_of_double(2.0)), stub)), 0u);
        EXPECT_EQ(sampled, 0u);
        EXPECT_EQ(stub.draws, constants_for(P).sweeps);

        sampled = 99;
        EXPECT_EQ((sampled_count_for<P, plain_kernel>(list.data(), P - 1, &sampled, plain_setup(ratio_of_double(2.0)), stub)),
                  0u);
        EXPECT_EQ(sampled, 0u);
    });
}

TEST(SampledWalk, ObservedOneCountsEveryNumber)
{
    std::mt19937_64 g(11);
    for_each_member([&]<unsigned P>() {
        SCOPED_TRACE(testing::Message() << P << " pairs");
        std::vector<count_pair> list(pair_list_len(P) / 2);
        std::uniform_real_distribution<double> u(-100.0, 100.0);
        for (count_pair &r : list)
            r = {u(g), u(g)};
        uniform_stub stub(P);
        uint64_t sampled = 0;
        uint64_t extreme = sampled_count_for<P, plain_kernel>(list.data(), list.size(), &sampled,
                                                              plain_setup(ratio_of_double(1.0)), stub);
        EXPECT_GE(sampled, constants_for(P).sweeps);
        EXPECT_EQ(extreme, sampled);
    });
}

// The production walk around the plain innermost loop against the reference
// walk, on the same lists and the same stub sequence.
TEST(SampledWalk, MatchesTheReferenceWalk)
{
    std::mt19937_64 g(2024);
    for_each_member([&]<unsigned P>() {
        constexpr member_constants m = constants_for(P);
        // The real length for the smaller members, shorter lists throughout.
        const int cases = P <= 8 ? 5 : 3;
        for (int c = 0; c < cases; ++c) {
            random_list r = make_random_list(g, P);
            const uint64_t n = c == 0 && P <= 8 ? r.list.size() : pick(g, r.list.size() + 1);
            const unsigned seed = static_cast<unsigned>(g());

            // A combination the first sweep visits: positions 0, then each
            // level 1 + residue after the one above, the last one some
            // strides further.
            uniform_stub peek(seed);
            std::vector<uint64_t> pos{0};
            while (pos.size() < P)
                pos.push_back(pos.back() + 1 + static_cast<uint64_t>(peek()) % m.stride);
            while (pos.back() + m.stride < n && pick(g, 2))
                pos.back() += m.stride;
            const observed_ratio t =
                pos.back() < n ? combination_ratio(r.list.data(), pos) : r.observed;
            const observed_ratio fc = pick_threshold(g, r.observed, t);
            SCOPED_TRACE(testing::Message() << P << " pairs, case " << c << ", n " << n
                                            << ", threshold " << std::hexfloat << fc);

            const std::vector<count_pair> before(r.list);
            uniform_stub a(seed), b(seed);
            uint64_t got_sampled = 0, want_sampled = 0, got = 0, want = 0;
            std::string got_trace = traced([&] {
                got = sampled_count_for<P, plain_kernel>(r.list.data(), n, &got_sampled, plain_setup(fc), a);
            });
            std::string want_trace = traced([&] {
                want = reference_count_sampled(r.list.data(), n, P, m.stride, m.sweeps,
                                               &want_sampled, fc, draw_from<uniform_stub>, &b);
            });
            EXPECT_EQ(got, want);
            EXPECT_EQ(got_sampled, want_sampled);
            EXPECT_EQ(got_trace, want_trace);
            EXPECT_EQ(a.draws, b.draws);
            EXPECT_EQ(std::memcmp(before.data(), r.list.data(), n * sizeof(count_pair)), 0);
        }
    });
}

// With draws of its own, a sampled P-value is the stream the manual page
// states, derived here without the library's walk or generator: the pair
// list shuffled, the C library's random() seeded with the low 32 bits of the
// shuffle's content hash, the plain reference walk, (extreme + 1) / (sampled
// + 1).  The same counts in another order, or the conditions swapped, give
// the same P-value, and so does a run-draws call in between.
TEST(SampledWalk, FeatureDrawsAreTheDocumentedStream)
{
    if (!vp_random_is_private())
        GTEST_SKIP() << "the documented stream is glibc's random(), which this build does not have";
    const std::vector<std::vector<double>> sets[] = {
        {{3, 0, 7, 12, 5}, {20, 31, 0, 18, 25}},
        {{100, 140, 90, 120, 111, 95}, {210, 180, 260, 199, 240, 230}},
        {{1.5, 2.25, 0.125, 4, 3, 2, 1}, {9, 7.5, 8, 6, 11, 10, 0}},
    };
    for (const auto &set : sets) {
        std::vector<double> c1 = set[0], c2 = set[1];
        const size_t pairs = c1.size();
        SCOPED_TRACE(testing::Message() << pairs << " pairs");
        adjust_zero_counts(c1.data(), c2.data(), pairs);
        std::vector<count_pair> list = unshuffled_pair_list(c1, c2);
        const uint64_t hash = vp_shuffle(list.data(), list.size(), sizeof(count_pair));
        const sampled_params m = sampled_params_for(static_cast<unsigned>(pairs));
        srandom(static_cast<unsigned>(hash & 0xffffffffu));
        uint64_t sampled = 0;
        const uint64_t extreme =
            reference_count_sampled(list.data(), list.size(), static_cast<unsigned>(pairs),
                                    m.stride, m.sweeps, &sampled, observed_of(c1, c2),
                                    reference_libc_draw, nullptr);
        const double want =
            static_cast<double>(extreme + 1) / static_cast<double>(sampled + 1);

        std::vector<double> a = set[0], b = set[1];
        EXPECT_EQ(near_exact_pval(a.data(), b.data(), pairs, draw_source::feature), want);
        std::vector<double> r1 = set[0], r2 = set[1];
        near_exact_pval(r1.data(), r2.data(), pairs, draw_source::run);
        std::vector<double> s1(set[1].rbegin(), set[1].rend()), s2(set[0].rbegin(), set[0].rend());
        EXPECT_EQ(near_exact_pval(s1.data(), s2.data(), pairs, draw_source::feature), want);
    }
}

}  // namespace
