#ifndef VP_DIGITS_H
#define VP_DIGITS_H

#include <algorithm>
#include <charconv>

// The number of significant digits of the shortest text that reads back as
// finite v.  No text of fewer digits reads back as v, so a search for the
// fewest digits of %.*g that do can start here; it must go on where the
// shortest text is not the correctly rounded one (at some powers of two,
// whose neighbour below is nearer).
inline int vp_shortest_digits(double v)
{
    char text[32];
    const char *begin = text;
    const char *end = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific).ptr;
    return static_cast<int>(std::count_if(begin, std::find(begin, end, 'e'),
                                          [](char c) { return c >= '0' && c <= '9'; }));
}

#endif
