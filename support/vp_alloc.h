#ifndef VP_ALLOC_H
#define VP_ALLOC_H

#include <cstddef>

// A block of count * size bytes, or NULL when memory is exhausted or the
// product overflows.  A zero-byte request still yields a unique block.
// Release it with vp_free.
void *vp_malloc(size_t count, size_t size);
void vp_free(void *block);

// Fault injection for tests (builds with DRANVEL_FAULT_INJECTION only): when
// the environment variable DRANVEL_MALLOC_FAIL_AT holds k >= 1, the k-th call
// of vp_malloc in the process returns NULL; when DRANVEL_MALLOC_COUNT is set,
// the number of calls made is written to standard error at exit
// ("vp_malloc calls: N").  Other builds ignore both.

#endif
