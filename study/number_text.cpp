#include "study.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

std::string shortest_number(double v)
{
    if (std::isnan(v))
        return "NA";
    if (std::isinf(v))
        return v > 0 ? "Inf" : "-Inf";
    char text[400];
    // No text of fewer digits than the shortest that reads back as v can
    // read back as v, so the search starts there; it goes on only where
    // that text is not the correctly rounded one (a power of two, whose
    // neighbour below is nearer).
    const char *begin = text;
    const char *end = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific).ptr;
    int precision = static_cast<int>(std::count_if(
        begin, std::find(begin, end, 'e'), [](char c) { return c >= '0' && c <= '9'; }));
    for (; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, v);
        if (std::strtod(text, nullptr) == v)
            break;
    }
    // The same digits without an exponent where that stays short: 20, not
    // 2e+01.
    const int exponent = v == 0.0 ? 0 : static_cast<int>(std::floor(std::log10(std::fabs(v))));
    if (exponent >= -5 && exponent < 17) {
        char fixed[400];
        std::snprintf(fixed, sizeof fixed, "%.*f", std::max(0, precision - 1 - exponent), v);
        if (std::strtod(fixed, nullptr) == v)
            return fixed;
    }
    return text;
}

