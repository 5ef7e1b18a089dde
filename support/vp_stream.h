#ifndef VP_STREAM_H
#define VP_STREAM_H

#include <cstdio>

// Opens path for reading.  Names ending ".gz", ".bz2" or ".xz" are decompressed
// in-process; every other name is an ordinary stdio stream.  The result
// supports getc, feof, ferror and rewind (rewind restarts decompression).
// fileno gives the descriptor of a plain file and -1 for a compressed one.
// A compressed file is read through all its concatenated members or streams.
// A truncated or corrupt compressed file, an empty one, or bytes after the
// last member that do not form another one set the stream's error indicator;
// it never looks like a clean end of data.  The decoded bytes before the fault
// are delivered first.  A compressed stream is repositioned only by
// restarting it: rewind and fseek to offset 0 work; other seeks and ftell may
// fail (ESPIPE).
// On failure: NULL with errno set; a directory gives EISDIR.  Only mode "r"
// is accepted for compressed names (EINVAL otherwise, without touching the
// file).
FILE *vp_fopen(const char *path, const char *mode);

// Flushes and closes any stream: one from vp_fopen, from fopen, or stdout.
// Returns fclose's result.
int vp_fclose(FILE *stream);

#endif
