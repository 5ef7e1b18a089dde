#include "vp_replace.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

FILE *open_in_place(const char *path, vp_replacement *r)
{
    r->temp.clear();
    return std::fopen(path, "w");
}

}  // namespace

FILE *vp_replace_open(const char *path, vp_replacement *r)
{
    r->path = path;
    r->temp.clear();
    struct stat st;
    mode_t mode;
    if (stat(path, &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return open_in_place(path, r);
        mode = st.st_mode & 07777;
        char *real = realpath(path, nullptr);
        if (real == nullptr)
            return open_in_place(path, r);
        r->path = real;
        std::free(real);
    } else if (errno == ENOENT) {
        mode = new_file_mode();
    } else {
        return open_in_place(path, r);
    }
    const size_t slash = r->path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : r->path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? r->path : r->path.substr(slash + 1);
    std::string name = dir + "." + base + ".XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd < 0)
        return open_in_place(path, r);
    r->temp = buffer.data();
    FILE *stream = fchmod(fd, mode) == 0 ? fdopen(fd, "w") : nullptr;
    if (stream == nullptr) {
        const int e = errno;
        close(fd);
        unlink(r->temp.c_str());
        r->temp.clear();
        errno = e;
        return open_in_place(path, r);
    }
    return stream;
}

int vp_replace_finish(vp_replacement *r)
{
    if (r->temp.empty())
        return 0;
    if (std::rename(r->temp.c_str(), r->path.c_str()) != 0) {
        const int e = errno;
        unlink(r->temp.c_str());
        r->temp.clear();
        return e;
    }
    r->temp.clear();
    return 0;
}

void vp_replace_discard(vp_replacement *r)
{
    if (r->temp.empty())
        return;
    const int e = errno;
    unlink(r->temp.c_str());
    r->temp.clear();
    errno = e;
}
