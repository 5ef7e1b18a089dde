// vp_random must yield exactly the C library's random() sequence: from the
// default state and after the same seed.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>
#include <unistd.h>

#include "vp_random.h"

namespace {

using vp_detail::random_refill;

// Every way of refilling the buffer this CPU runs.
std::vector<random_refill> refills()
{
    std::vector<random_refill> r{random_refill::scalar};
    const random_refill was = vp_detail::random_active_refill();
    if (vp_detail::random_force_refill(random_refill::avx512))
        r.push_back(random_refill::avx512);
    vp_detail::random_force_refill(was);
    return r;
}

const char *name_of(random_refill r)
{
    return r == random_refill::avx512 ? "avx512 refill" : "scalar refill";
}

// Runs body once with each refill forced, then restores the one in use.
template <class Body>
void for_each_refill(Body body)
{
    const random_refill was = vp_detail::random_active_refill();
    for (random_refill r : refills()) {
        SCOPED_TRACE(name_of(r));
        ASSERT_TRUE(vp_detail::random_force_refill(r));
        body(r);
    }
    vp_detail::random_force_refill(was);
}

// Compares `draws` values of both generators from their current states;
// returns the index of the first difference, or -1.
long first_difference(long draws)
{
    for (long i = 0; i < draws; ++i) {
        long want = random();
        long got = vp_random();
        if (got != want) {
            std::fprintf(stderr, "draw %ld: vp_random %ld, random %ld\n", i, got, want);
            return i;
        }
    }
    return -1;
}

TEST(Random, DefaultStateMatchesTheCLibrary)
{
    if (!vp_random_is_private())
        GTEST_SKIP() << "vp_random is the C library's random() in this build";
    // Other tests in this process seed and draw from both generators, so the
    // comparison runs in a freshly started copy of this program, where
    // neither has been touched.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for_each_refill([](random_refill r) {
        EXPECT_EXIT(
            {
                vp_detail::random_force_refill(r);
                _exit(first_difference(10'000'000) < 0 ? 0 : 1);
            },
            testing::ExitedWithCode(0), "");
    });
}

TEST(Random, SeededSequencesMatchTheCLibrary)
{
    if (!vp_random_is_private())
        GTEST_SKIP() << "vp_random is the C library's random() in this build";
    const unsigned seeds[] = {0, 1, 2, 12345, 0x7fffffff, 0x80000000, 0xffffffff};
    for_each_refill([&](random_refill) {
        for (unsigned seed : seeds) {
            SCOPED_TRACE(testing::Message() << "seed " << seed);
            srandom(seed);
            vp_srandom(seed);
            EXPECT_EQ(first_difference(10'000'000), -1);
        }
        // Reseeding mid-sequence starts over.
        srandom(99);
        vp_srandom(99);
        EXPECT_EQ(first_difference(1000), -1);
    });
}

// Reserving moves the unread outputs to the front of the buffer and
// generates after them; the sequence itself must not notice.
TEST(Random, ReservingKeepsTheSequence)
{
    if (!vp_random_is_private())
        GTEST_SKIP() << "vp_random is the C library's random() in this build";
    const unsigned counts[] = {1, 2, 3, 15, 16, 17, 30, 31, 32, 500, 1023, vp_detail::random_batch};
    for_each_refill([&](random_refill) {
        srandom(7);
        vp_srandom(7);
        for (unsigned round = 0; round < 60; ++round) {
            SCOPED_TRACE(testing::Message() << "round " << round);
            // Land at every distance from the end of the buffer over the
            // rounds, so that the vector refill starts at every offset.
            ASSERT_EQ(first_difference(1 + 97 * round), -1);
            const unsigned count = counts[round % std::size(counts)];
            vp_detail::random_reserve(vp_detail::g_random, count);
            ASSERT_GE(vp_detail::random_end - vp_detail::g_random.pos, count);
            ASSERT_EQ(first_difference(count + 5), -1);
        }
    });
}

}  // namespace
