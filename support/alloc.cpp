#include "vp_alloc.h"

#include <cstdint>
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
