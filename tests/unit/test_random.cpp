// vp_random must yield exactly the C library's random() sequence: from the
// default state and after the same seed.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <unistd.h>

#include "vp_random.h"

namespace {

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
    EXPECT_EXIT(_exit(first_difference(10'000'000) < 0 ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST(Random, SeededSequencesMatchTheCLibrary)
{
    if (!vp_random_is_private())
        GTEST_SKIP() << "vp_random is the C library's random() in this build";
    const unsigned seeds[] = {0, 1, 2, 12345, 0x7fffffff, 0x80000000, 0xffffffff};
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
}

// Reserving moves the unread outputs to the front of the buffer and
// generates after them; the sequence itself must not notice.
TEST(Random, ReservingKeepsTheSequence)
{
    if (!vp_random_is_private())
        GTEST_SKIP() << "vp_random is the C library's random() in this build";
    srandom(7);
    vp_srandom(7);
    const unsigned counts[] = {1, 2, 3, 30, 31, 32, 500, 1023, vp_detail::random_batch};
    for (unsigned round = 0; round < 40; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        // Land at every distance from the end of the buffer over the rounds.
        ASSERT_EQ(first_difference(1 + 97 * round), -1);
        const unsigned count = counts[round % std::size(counts)];
        vp_detail::random_reserve(vp_detail::g_random, count);
        const unsigned end = vp_detail::random_lag + vp_detail::random_batch;
        ASSERT_GE(end - vp_detail::g_random.pos, count);
        ASSERT_EQ(first_difference(count + 5), -1);
    }
}

}  // namespace
