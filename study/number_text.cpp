#include "study.h"
#include "vp_digits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The text of finite v with the fewest significant digits, from `from` up,
// that reads back as v.
std::string search_from(double v, int from)
{
    char text[400];
    int precision = from;
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

std::string non_finite(double v)
{
    return std::isnan(v) ? "NA" : v > 0 ? "Inf" : "-Inf";
}

}  // namespace

std::string shortest_number(double v)
{
    if (!std::isfinite(v))
        return non_finite(v);
    return search_from(v, vp_shortest_digits(v));
}

std::string shortest_number_plain(double v)
{
    return std::isfinite(v) ? search_from(v, 1) : non_finite(v);
}
