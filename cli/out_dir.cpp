#include "out_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli.h"

int out_dir_open(out_dir *d, const char *dir)
{
    d->dir = dir;
    std::string path;
    std::string_view rest = dir;
    while (!rest.empty()) {
        const size_t slash = rest.find('/', 1);
        path += rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (mkdir(path.c_str(), 0777) == 0)
            d->made.push_back(path);
        else if (errno != EEXIST)
            return cli_errno_fail(exit_cant_create, errno, "cannot create directory %s",
                                  path.c_str());
    }
    struct stat st;
    const bool exists = stat(dir, &st) == 0;
    if (!exists || !S_ISDIR(st.st_mode))
        return cli_errno_fail(exit_cant_create, exists ? ENOTDIR : errno,
                              "cannot create directory %s", dir);
    return exit_ok;
}

std::string out_dir_path(const out_dir &d, const std::string &name)
{
    if (d.dir.empty() || d.dir.back() == '/')
        return d.dir + name;
    return d.dir + "/" + name;
}

int out_dir_check(const out_dir &d, const std::vector<std::string> &names)
{
    for (const std::string &name : names) {
        const std::string path = out_dir_path(d, name);
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return cli_errno_fail(exit_cant_create, EISDIR, "cannot create %s", path.c_str());
    }
    return exit_ok;
}

FILE *out_dir_create(out_dir *d, const std::string &name)
{
    out_dir::file f;
    f.path = out_dir_path(*d, name);
    const size_t slash = f.path.rfind('/');
    f.temp = f.path.substr(0, slash + 1) + "." + f.path.substr(slash + 1) + ".XXXXXX";
    const int fd = mkstemp(f.temp.data());
    if (fd < 0) {
        cli_errno_fail(exit_cant_create, errno, "cannot create %s", f.path.c_str());
        return nullptr;
    }
    // mkstemp makes the file private; the output gets the mode any new file
    // would.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0 || (f.stream = fdopen(fd, "w")) == nullptr) {
        cli_errno_fail(exit_cant_create, errno, "cannot create %s", f.path.c_str());
        close(fd);
        unlink(f.temp.c_str());
        return nullptr;
    }
    d->files.push_back(f);
    return f.stream;
}

int out_dir_commit(out_dir *d)
{
    int status = exit_ok;
    for (out_dir::file &f : d->files) {
        errno = 0;
        const bool failed = std::ferror(f.stream) != 0;
        const bool closed = std::fclose(f.stream) == 0;
        f.stream = nullptr;
        if ((failed || !closed) && status == exit_ok)
            status = cli_errno_fail(exit_io, errno ? errno : EIO, "cannot write %s",
                                    f.path.c_str());
    }
    for (size_t k = 0; status == exit_ok && k < d->files.size(); ++k) {
        out_dir::file &f = d->files[k];
        if (std::rename(f.temp.c_str(), f.path.c_str()) != 0)
            status = cli_errno_fail(exit_cant_create, errno, "cannot create %s", f.path.c_str());
        else
            f.temp.clear();
    }
    if (status != exit_ok)
        out_dir_abandon(d);
    else
        d->files.clear();
    return status;
}

void out_dir_abandon(out_dir *d)
{
    const int saved = errno;
    for (out_dir::file &f : d->files) {
        if (f.stream != nullptr)
            std::fclose(f.stream);
        if (!f.temp.empty())
            unlink(f.temp.c_str());
    }
    d->files.clear();
    for (size_t k = d->made.size(); k-- > 0;)
        rmdir(d->made[k].c_str());
    d->made.clear();
    errno = saved;
}
