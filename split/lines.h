#ifndef SPLIT_LINES_H
#define SPLIT_LINES_H

// The line reader of the sheet and the matrix, and its messages.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "vp_dsv.h"

// Lines of one input, counted, with a CR before the newline and a leading
// byte order mark dropped.
struct text_lines {
    FILE *stream = nullptr;
    const char *path = nullptr;  // as shown in messages
    vp_dsv_line *line = nullptr;
    unsigned long number = 0;
    bool from_stdin = false;
};

// Opens path ("-": standard input).  Returns 0, or 66 or 69 after a message.
int open_lines(const char *path, text_lines *t);
void close_lines(text_lines *t);
// The next line that is not empty; *end is set when there is none.
int next_line(text_lines *t, std::string_view *text, bool *end);
// "<name>: <path>:<line>: <what>"; returns 65.
int line_fault(const text_lines &t, const char *what);
// The line's fields, or 65 after a message naming the fault.
int split_line(const text_lines &t, std::string_view text, char sep,
               std::vector<std::string> *fields);
// A row of the wrong number of fields; returns 65.
int width_fault(const text_lines &t, size_t got, size_t want);

#endif
