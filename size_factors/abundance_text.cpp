#include "abundance_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int parse_abundance(const char *text, double *value)
{
    char *end;
    const double v = std::strtof(text, &end);
    if (*end != '\0')
        return abundance_invalid;
    if (!std::isfinite(v))
        return abundance_not_finite;
    if (v < 0.0)
        return abundance_negative;
    *value = v + 0.0;
    return abundance_ok;
}

int format_double(double v, char *text)
{
    // No text of fewer digits than the shortest that reads back as v does,
    // so the search starts there, or at 15; it goes on only where that text
    // is not the correctly rounded one (a power of two).
    const char *end = std::to_chars(text, text + ABUNDANCE_TEXT_SIZE, v,
                                    std::chars_format::scientific).ptr;
    const char *begin = text;
    const int shortest = static_cast<int>(std::count_if(
        begin, std::find(begin, end, 'e'), [](char c) { return c >= '0' && c <= '9'; }));
    int length = 0;
    for (int digits = std::max(15, shortest); digits <= 17; ++digits) {
        length = std::snprintf(text, ABUNDANCE_TEXT_SIZE, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v)
            break;
    }
    return length;
}

int format_abundance(double v, char *text)
{
    const int length = format_double(v, text);
    const float nearest = static_cast<float>(v);
    const float read = std::strtof(text, nullptr);
    if (std::memcmp(&read, &nearest, sizeof read) == 0)
        return length;
    // %g drops the trailing zeros, and 767 significant digits hold any double.
    return std::snprintf(text, ABUNDANCE_TEXT_SIZE, "%.767g", v);
}
