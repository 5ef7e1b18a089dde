#include "vp_alloc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef DRANVEL_FAULT_INJECTION
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

// With DRANVEL_MALLOC_COUNT set, the number of calls made is written to
// standard error when the process ends, so a test knows every k to try.
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
#endif

void *vp_malloc(size_t count, size_t size)
{
#ifdef DRANVEL_FAULT_INJECTION
    if (++calls == fail_at())
        return nullptr;
#endif
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    size_t bytes = count * size;
    return std::malloc(bytes ? bytes : 1);
}

void vp_free(void *block)
{
    std::free(block);
}
