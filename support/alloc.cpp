#include "vp_alloc.h"

#include <cstdint>
#include <cstdlib>

void *vp_malloc(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    size_t bytes = count * size;
    return std::malloc(bytes ? bytes : 1);
}

void vp_free(void *block)
{
    std::free(block);
}
