// Allocation failure on demand, for the whole-program tests: linked into a
// program with vp_malloc wrapped (vorpa_wrap), so that every call comes here
// first.  When DRANVEL_MALLOC_FAIL_AT holds k >= 1, the k-th call of the
// process returns NULL; when DRANVEL_MALLOC_COUNT is set, the number of calls
// made is written to standard error at exit ("vp_malloc calls: N"), so a test
// knows every k to try.

#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" void *__real_vp_malloc(size_t count, size_t size);

namespace {

// Which call fails, read once; 0 means none.
unsigned long fail_at()
{
    static const unsigned long k = [] {
        const char *s = std::getenv("DRANVEL_MALLOC_FAIL_AT");
        return s ? std::strtoul(s, nullptr, 10) : 0UL;
    }();
    return k;
}
unsigned long calls;

void report_calls()
{
    std::fprintf(stderr, "vp_malloc calls: %lu\n", calls);
}
[[maybe_unused]] const bool count_requested = [] {
    if (std::getenv("DRANVEL_MALLOC_COUNT") == nullptr)
        return false;
    std::atexit(report_calls);
    return true;
}();

}  // namespace

extern "C" void *__wrap_vp_malloc(size_t count, size_t size)
{
    if (++calls == fail_at())
        return nullptr;
    return __real_vp_malloc(count, size);
}
