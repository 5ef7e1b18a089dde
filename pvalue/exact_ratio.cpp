#include "exact_ratio.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

using wide = __int128;
using uwide = unsigned __int128;

// A finite double as m 2^e with m an integer, |m| < 2^53.
struct dyadic {
    int64_t m;
    int e;
};

dyadic dyadic_of(double x)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int field = static_cast<int>(bits >> 52 & 0x7ff);
    int64_t m = static_cast<int64_t>(bits & ((uint64_t{1} << 52) - 1));
    int e = -1074;
    if (field != 0) {
        m |= int64_t{1} << 52;
        e = field - 1075;
    }
    return {bits >> 63 ? -m : m, e};
}

int bit_length(uwide x)
{
    const uint64_t top = static_cast<uint64_t>(x >> 64), bottom = static_cast<uint64_t>(x);
    return top ? 128 - __builtin_clzll(top) : bottom ? 64 - __builtin_clzll(bottom) : 0;
}

int sign_of(wide x)
{
    return (x > 0) - (x < 0);
}

int sign_of(double x)
{
    return (x > 0) - (x < 0);
}

// Compares x 2^ex with y 2^ey, |x| and |y| below 2^106.
int compare_scaled(wide x, int ex, wide y, int ey)
{
    const int sx = sign_of(x), sy = sign_of(y);
    if (sx != sy)
        return sx > sy ? 1 : -1;
    if (sx == 0)
        return 0;
    uwide ux = static_cast<uwide>(sx < 0 ? -x : x), uy = static_cast<uwide>(sy < 0 ? -y : y);
    const int lx = bit_length(ux) + ex, ly = bit_length(uy) + ey;
    int magnitude;
    if (lx != ly) {
        magnitude = lx > ly ? 1 : -1;
    } else {
        // Equal leading positions: the shift leaves the shifted one no
        // longer than the other, at most 106 bits.
        if (ex > ey)
            ux <<= ex - ey;
        else
            uy <<= ey - ex;
        magnitude = ux > uy ? 1 : ux < uy ? -1 : 0;
    }
    return sx > 0 ? magnitude : -magnitude;
}

// A quotient a / b: exact when a and b are finite and b is not zero, the
// IEEE value otherwise.
struct quotient {
    double a, b;
    bool exact;
    double value;  // when not exact
};

quotient quotient_of(double a, double b)
{
    const bool exact = std::isfinite(a) && std::isfinite(b) && b != 0.0;
    return {a, b, exact, exact ? 0.0 : a / b};
}

// An exact quotient against a value that is +-infinity, +-0 or NaN.
int compare_with_value(const quotient &q, double v)
{
    if (std::isnan(v))
        return 2;
    if (std::isinf(v))
        return v > 0 ? -1 : 1;
    return sign_of(q.a) * sign_of(q.b);  // against 0
}

int compare(const quotient &x, const quotient &y)
{
    if (x.exact && y.exact)
        return product_difference_sign(x.a, y.b, y.a, x.b) * sign_of(x.b) * sign_of(y.b);
    if (x.exact) {
        return compare_with_value(x, y.value);
    }
    if (y.exact) {
        const int c = compare_with_value(y, x.value);
        return c == 2 ? 2 : -c;
    }
    if (std::isnan(x.value) || std::isnan(y.value))
        return 2;
    return (x.value > y.value) - (x.value < y.value);
}

// Far from underflow and overflow, positive: q = fl(n / d) leaves the
// remainder q d - n exactly representable, so one fused multiply-add gives
// its sign.
bool moderate(double x)
{
    return x >= 0x1p-500 && x <= 0x1p500;
}

// The neighbours of the ratio r = n / d around its rounded quotient.
void bracket(double n, double d, double &lo, double &hi)
{
    const double q = n / d;
    int c;
    if (moderate(n) && moderate(d)) {
        const double rem = std::fma(q, d, -n);
        c = (rem > 0) - (rem < 0);
    } else {
        c = compare(quotient_of(q, 1.0), quotient_of(n, d));
    }
    if (c == 2) {
        lo = hi = NAN;
    } else if (c == 0) {
        lo = hi = q;
    } else if (c > 0) {
        hi = q;
        lo = std::nextafter(q, -INFINITY);
    } else {
        lo = q;
        hi = std::nextafter(q, INFINITY);
    }
}

}  // namespace

int product_difference_sign(double a, double b, double c, double d)
{
    const dyadic da = dyadic_of(a), db = dyadic_of(b), dc = dyadic_of(c), dd = dyadic_of(d);
    return compare_scaled(static_cast<wide>(da.m) * db.m, da.e + db.e,
                          static_cast<wide>(dc.m) * dd.m, dc.e + dd.e);
}

int compare_ratios(double a, double b, double c, double d)
{
    return compare(quotient_of(a, b), quotient_of(c, d));
}

fc_class classify_fc(double s1, double s2, const observed_ratio &r)
{
    // Positive divisors and finite values, as the library's lists have: the
    // signs of the cross differences alone.
    if (s1 > 0 && r.den > 0 && r.num > 0 && s2 >= 0 && s1 <= DBL_MAX && s2 <= DBL_MAX &&
        r.num <= DBL_MAX && r.den <= DBL_MAX) {
        // Whole numbers below 2^53, as raw counts are: the products in 128 bits.
        if (s1 < 0x1p53 && s2 < 0x1p53 && r.num < 0x1p53 && r.den < 0x1p53) {
            const int64_t a = static_cast<int64_t>(s1), b = static_cast<int64_t>(s2);
            const int64_t n = static_cast<int64_t>(r.num), d = static_cast<int64_t>(r.den);
            if (static_cast<double>(a) == s1 && static_cast<double>(b) == s2 &&
                static_cast<double>(n) == r.num && static_cast<double>(d) == r.den) {
                if (static_cast<wide>(b) * d >= static_cast<wide>(n) * a)
                    return fc_class::above;
                return static_cast<wide>(b) * n <= static_cast<wide>(d) * a ? fc_class::below
                                                                           : fc_class::neither;
            }
        }
        if (product_difference_sign(s2, r.den, r.num, s1) >= 0)
            return fc_class::above;
        return product_difference_sign(s2, r.num, r.den, s1) <= 0 ? fc_class::below
                                                                   : fc_class::neither;
    }
    const quotient q = quotient_of(s2, s1);
    const int up = compare(q, quotient_of(r.num, r.den));
    if (up == 0 || up == 1)
        return fc_class::above;
    const int down = compare(q, quotient_of(r.den, r.num));
    return down == 0 || down == -1 ? fc_class::below : fc_class::neither;
}

ratio_bounds bounds_of(const observed_ratio &r)
{
    ratio_bounds b;
    bracket(r.num, r.den, b.above_lo, b.above_hi);
    bracket(r.den, r.num, b.below_lo, b.below_hi);
    return b;
}

observed_ratio observed_ratio_of(double sum1, double sum2)
{
    const double fc = sum2 / sum1;
    if (fc < 1.0)
        return {sum1, sum2, 1.0 / fc};
    return {sum2, sum1, fc};
}
