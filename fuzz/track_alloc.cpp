// Ownership tracking for fuzz targets that run a whole program body many
// times in one process.  The programs keep their run-long blocks (rep_counts,
// line objects, count arrays) until the process exits, by design; here the
// linker routes vp_malloc, vp_free and vp_dsv_line_new through these wrappers
// (-Wl,--wrap=...) so that each input's blocks can be released after it, and
// exit() through a jump back to the harness while one is running.
//
// The symbols are the C++ names of the routines (vp_malloc(size_t, size_t)
// is _Z9vp_mallocmm, and so on).

#include "track_alloc.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "vp_dsv.h"

extern "C" {
void *__real__Z9vp_mallocmm(size_t count, size_t size);
void __real__Z7vp_freePv(void *block);
vp_dsv_line *__real__Z15vp_dsv_line_newv();
[[noreturn]] void __real_exit(int status);
}

namespace {

std::vector<void *> &blocks()
{
    static std::vector<void *> v;
    return v;
}
std::vector<vp_dsv_line *> &lines()
{
    static std::vector<vp_dsv_line *> v;
    return v;
}
std::jmp_buf *exit_target = nullptr;

}  // namespace

extern "C" {

void *__wrap__Z9vp_mallocmm(size_t count, size_t size)
{
    void *p = __real__Z9vp_mallocmm(count, size);
    if (p != nullptr)
        blocks().push_back(p);
    return p;
}

void __wrap__Z7vp_freePv(void *block)
{
    auto &v = blocks();
    auto it = std::find(v.begin(), v.end(), block);
    if (it != v.end())
        v.erase(it);
    __real__Z7vp_freePv(block);
}

vp_dsv_line *__wrap__Z15vp_dsv_line_newv()
{
    vp_dsv_line *line = __real__Z15vp_dsv_line_newv();
    if (line != nullptr)
        lines().push_back(line);
    return line;
}

[[noreturn]] void __wrap_exit(int status)
{
    if (exit_target != nullptr) {
        std::jmp_buf *target = exit_target;
        exit_target = nullptr;
        std::longjmp(*target, status + 1);
    }
    __real_exit(status);
}

}  // extern "C"

namespace fuzz {

void release_run_blocks()
{
    for (void *p : blocks())
        __real__Z7vp_freePv(p);
    blocks().clear();
    for (vp_dsv_line *line : lines())
        vp_dsv_line_free(line);
    lines().clear();
}

void catch_exit(std::jmp_buf *target)
{
    exit_target = target;
}

}  // namespace fuzz
