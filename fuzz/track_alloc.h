#ifndef DRANVEL_FUZZ_TRACK_ALLOC_H
#define DRANVEL_FUZZ_TRACK_ALLOC_H

#include <csetjmp>

namespace fuzz {

// Frees every block from vp_malloc and every line object that the last run
// left behind (the programs keep them until exit).
void release_run_blocks();

// While target is set, exit(status) jumps to it with setjmp's result
// status + 1 instead of ending the process; it is cleared on the jump.  Pass
// nullptr to end the catching.
void catch_exit(std::jmp_buf *target);

}  // namespace fuzz

#endif
