#include "abundance_text.h"
#include "vp_digits.h"

#include <algorithm>
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
    int length = 0;
    for (int digits = std::max(15, vp_shortest_digits(v)); digits <= 17; ++digits) {
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
