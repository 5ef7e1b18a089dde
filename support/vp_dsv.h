#ifndef VP_DSV_H
#define VP_DSV_H

#include <cstdint>
#include <cstdio>

// One delimiter-separated line, reused for every line read from one stream.
struct vp_dsv_line;

// Results of vp_dsv_line_read besides '\n' and EOF.
enum : int {
    VP_DSV_READ_ERROR = -2,  // the stream's error indicator is set, or ENOMEM
    VP_DSV_NUL_BYTE = 0,     // a NUL byte inside the line; the line is malformed
};

// A new empty line object, or NULL if memory is exhausted.  C linkage, as
// vp_malloc (vp_alloc.h): a wrap point of the test and fuzz builds.
extern "C" vp_dsv_line *vp_dsv_line_new();
extern "C" void vp_dsv_line_free(vp_dsv_line *line);

// Reads one line of any length and splits it at every character of delims.
// Returns '\n' for a whole line, including a last line that holds at least one
// character but no newline, so no final row is lost; EOF when the stream holds
// no further character; VP_DSV_READ_ERROR on a read error (also mid-line), or
// with errno ENOMEM when the line does not fit in memory; VP_DSV_NUL_BYTE when
// the line contains a NUL byte (never silently cut; the line is still consumed
// through its newline, so the next read starts at the next line).
// The newline is not part of the last field, nor is one carriage return right
// before it (or at the very end of a last line without newline): CR LF lines
// read like LF lines.  Any other carriage return stays in its field.
// After anything but '\n' the line's fields are unspecified.
int vp_dsv_line_read(vp_dsv_line *line, FILE *stream, const char *delims);

// Number of fields of the last line read (a line without delimiters has 1).
uint64_t vp_dsv_line_get_num_fields(const vp_dsv_line *line);

// Field index (from 0, below the field count) as a NUL-terminated string,
// valid until the next read into the same line object; NULL for an index
// beyond the last field.
char *vp_dsv_line_get_fields_ae(const vp_dsv_line *line, uint64_t index);

// vp_dsv_line_read always consumes whole lines, so after it has returned the
// newline of a header row the stream already stands at the next row: this
// consumes nothing.  Returns 0.
int vp_dsv_skip_rest_of_line(FILE *stream);

#endif
