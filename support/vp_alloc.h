#ifndef VP_ALLOC_H
#define VP_ALLOC_H

#include <cstddef>

// C linkage gives the routines plain symbol names, the points where test and
// fuzz builds wrap them at link time (-Wl,--wrap=vp_malloc, see vorpa_wrap in
// support/CMakeLists.txt); the programs call them directly.
extern "C" {

// A block of count * size bytes, or NULL when memory is exhausted or the
// product overflows.  A zero-byte request still yields a unique block.
// Release it with vp_free.
void *vp_malloc(size_t count, size_t size);
void vp_free(void *block);

}

#endif
