#include "lines.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "split.h"
#include "vp_stream.h"

int open_lines(const char *path, text_lines *t)
{
    t->from_stdin = std::strcmp(path, "-") == 0;
    t->path = cli_input_name(path);
    t->stream = t->from_stdin ? stdin : vp_fopen(path, "r");
    if (t->stream == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", cli_name(), path, std::strerror(errno));
        return exit_no_input;
    }
    t->line = vp_dsv_line_new();
    if (t->line == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", cli_name());
        return exit_no_memory;
    }
    return exit_ok;
}

void close_lines(text_lines *t)
{
    if (t->stream != nullptr && !t->from_stdin)
        vp_fclose(t->stream);
    vp_dsv_line_free(t->line);
    t->stream = nullptr;
    t->line = nullptr;
}

// The next line that is not empty; *end is set when there is none.
int next_line(text_lines *t, std::string_view *text, bool *end)
{
    for (;;) {
        errno = 0;
        const int got = vp_dsv_line_read(t->line, t->stream, "");
        if (got == EOF) {
            *end = true;
            return exit_ok;
        }
        ++t->number;
        if (got == VP_DSV_READ_ERROR) {
            const int e = errno ? errno : EIO;
            std::fprintf(stderr, "%s: %s: cannot read: %s\n", cli_name(), t->path, std::strerror(e));
            return e == ENOMEM ? exit_no_memory : exit_io;
        }
        if (got != '\n') {
            std::fprintf(stderr, "%s: %s:%lu: the line holds a NUL byte\n", cli_name(), t->path,
                         t->number);
            return exit_data;
        }
        *text = vp_dsv_line_get_fields_ae(t->line, 0);
        if (!text->empty() && text->back() == '\r')
            text->remove_suffix(1);
        // The byte order mark that spreadsheets put in front of UTF-8 text.
        if (t->number == 1 && text->substr(0, 3) == "\xef\xbb\xbf")
            text->remove_prefix(3);
        if (!text->empty()) {
            *end = false;
            return exit_ok;
        }
    }
}

int line_fault(const text_lines &t, const char *what)
{
    std::fprintf(stderr, "%s: %s:%lu: %s\n", cli_name(), t.path, t.number, what);
    return exit_data;
}

int split_line(const text_lines &t, std::string_view text, char sep,
               std::vector<std::string> *fields)
{
    const char *why = split_fields(text, sep, fields);
    return why == nullptr ? exit_ok : line_fault(t, why);
}

int width_fault(const text_lines &t, size_t got, size_t want)
{
    std::fprintf(stderr, "%s: %s:%lu: %zu fields where the header gives %zu\n", cli_name(), t.path,
                 t.number, got, want);
    return exit_data;
}
