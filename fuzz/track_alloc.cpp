// Ownership tracking for fuzz targets that run a whole program body many
// times in one process.  The programs keep their run-long blocks (rep_counts,
// line objects) until the process exits, by design, and a failing run ends in
// exit() wherever it stands; here the linker routes vp_malloc, vp_free,
// vp_dsv_line_new and vp_dsv_line_free through these wrappers (vorpa_wrap) so that each input's
// blocks can be released after it, and exit() through a jump back to the
// harness while one is running.

#include "track_alloc.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "vp_dsv.h"

extern "C" {
void *__real_vp_malloc(size_t count, size_t size);
void __real_vp_free(void *block);
vp_dsv_line *__real_vp_dsv_line_new();
void __real_vp_dsv_line_free(vp_dsv_line *line);
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

void *__wrap_vp_malloc(size_t count, size_t size)
{
    void *p = __real_vp_malloc(count, size);
    if (p != nullptr)
        blocks().push_back(p);
    return p;
}

void __wrap_vp_free(void *block)
{
    auto &v = blocks();
    auto it = std::find(v.begin(), v.end(), block);
    if (it != v.end())
        v.erase(it);
    __real_vp_free(block);
}

vp_dsv_line *__wrap_vp_dsv_line_new()
{
    vp_dsv_line *line = __real_vp_dsv_line_new();
    if (line != nullptr)
        lines().push_back(line);
    return line;
}

// A program that releases a line object itself takes it off the list.
void __wrap_vp_dsv_line_free(vp_dsv_line *line)
{
    auto &v = lines();
    auto it = std::find(v.begin(), v.end(), line);
    if (it != v.end())
        v.erase(it);
    __real_vp_dsv_line_free(line);
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
        __real_vp_free(p);
    blocks().clear();
    for (vp_dsv_line *line : lines())
        __real_vp_dsv_line_free(line);
    lines().clear();
}

void catch_exit(std::jmp_buf *target)
{
    exit_target = target;
}

}  // namespace fuzz
