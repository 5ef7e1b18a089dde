#include "vp_dsv.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

struct vp_dsv_line {
    char *text;        // grown by getdelim, kept for the next line
    size_t text_cap;
    char **fields;     // pointers into text
    uint64_t field_cap;
    uint64_t num_fields;
};

namespace {

bool grow_fields(vp_dsv_line *line)
{
    uint64_t cap = line->field_cap ? line->field_cap * 2 : 16;
    if (cap > SIZE_MAX / sizeof(char *))
        return false;
    void *p = std::realloc(line->fields, cap * sizeof(char *));
    if (!p)
        return false;
    line->fields = static_cast<char **>(p);
    line->field_cap = cap;
    return true;
}

}  // namespace

vp_dsv_line *vp_dsv_line_new()
{
    return static_cast<vp_dsv_line *>(std::calloc(1, sizeof(vp_dsv_line)));
}

void vp_dsv_line_free(vp_dsv_line *line)
{
    if (!line)
        return;
    std::free(line->text);
    std::free(line->fields);
    std::free(line);
}

int vp_dsv_line_read(vp_dsv_line *line, FILE *stream, const char *delims)
{
    line->num_fields = 0;
    // getdelim consumes through the newline even past a NUL byte, so a
    // malformed line never leaves the stream in the middle of a row.
    ssize_t got = getdelim(&line->text, &line->text_cap, '\n', stream);
    if (std::ferror(stream))
        return VP_DSV_READ_ERROR;
    if (got < 0) {
        if (std::feof(stream))
            return EOF;
        if (errno != EOVERFLOW)
            errno = ENOMEM;
        return VP_DSV_READ_ERROR;
    }
    size_t len = static_cast<size_t>(got);
    if (std::memchr(line->text, '\0', len))
        return VP_DSV_NUL_BYTE;
    if (len > 0 && line->text[len - 1] == '\n')
        line->text[--len] = '\0';
    // A table saved on Windows ends its lines with CR LF; that one carriage
    // return belongs to the line end, not to the last field.
    if (len > 0 && line->text[len - 1] == '\r')
        line->text[--len] = '\0';

    if (!delims)
        delims = "";
    char *p = line->text;
    char *end = p + len;
    bool single = delims[0] != '\0' && delims[1] == '\0';
    uint64_t k = 0;
    for (;;) {
        if (k == line->field_cap && !grow_fields(line)) {
            errno = ENOMEM;
            return VP_DSV_READ_ERROR;
        }
        line->fields[k++] = p;
        // The text holds no NUL before end, so strcspn stops at end at the
        // latest.
        char *q = single ? static_cast<char *>(std::memchr(p, delims[0], end - p))
                         : p + std::strcspn(p, delims);
        if (!q || q == end)
            break;
        *q = '\0';
        p = q + 1;
    }
    line->num_fields = k;
    return '\n';
}

uint64_t vp_dsv_line_get_num_fields(const vp_dsv_line *line)
{
    return line->num_fields;
}

char *vp_dsv_line_get_fields_ae(const vp_dsv_line *line, uint64_t index)
{
    return index < line->num_fields ? line->fields[index] : nullptr;
}

int vp_dsv_skip_rest_of_line(FILE *)
{
    return 0;
}
