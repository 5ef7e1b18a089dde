#ifndef VP_REPLACE_H
#define VP_REPLACE_H

// An output file written under a temporary name beside it and put in place
// only once it is complete, so that a run that fails leaves the file that was
// there before, or none.

#include <cstdio>
#include <string>

struct vp_replacement {
    std::string path;  // where the file goes
    std::string temp;  // its temporary name; empty when written in place
};

// Opens the output for writing.  A path that names something other than a
// regular file (a device, a pipe), or whose directory takes no new file, is
// opened in place with fopen(path, "w"), as before.  A symbolic link is
// followed: the file it names is replaced.  The temporary takes the mode of
// the file it replaces, or that of a new file.  Returns the stream, or
// nullptr with errno set when the file cannot be opened at all.
FILE *vp_replace_open(const char *path, vp_replacement *r);

// After the caller has closed the stream successfully: renames the
// temporary over the path.  Returns 0, or errno after removing the
// temporary.
int vp_replace_finish(vp_replacement *r);

// After a failure (the stream closed or not): removes the temporary, so the
// path keeps what it held.  A file opened in place stays as written.
void vp_replace_discard(vp_replacement *r);

#endif
