#ifndef PVALUE_EXACT_RATIO_H
#define PVALUE_EXACT_RATIO_H

// The counting rule's comparison, exact: a combination's fold change S2 / S1
// against the observed ratio R = num / den, as the rational numbers they
// are, by cross-multiplication.  No rounded quotient decides a tie, so a
// combination whose sums are in the very proportion of the observed sums
// counts, whichever condition came first.
//
// A quotient of two finite doubles with a non-zero divisor is taken exactly;
// any other (a zero or infinite divisor, an infinite dividend) is the IEEE
// quotient: x / 0 with x > 0 is +infinity, above every finite ratio; 0 / 0
// is NaN and compares with nothing, so it counts nowhere.

#include <cstdint>

#include "pvalue.h"

// The sign of a b - c d, computed exactly, for finite a, b, c, d.
int product_difference_sign(double a, double b, double c, double d);

// How a / b compares with c / d: -1, 0 or 1, or 2 when either is NaN.
int compare_ratios(double a, double b, double c, double d);

// What the rule makes of one combination.
enum class fc_class : int { neither = 0, above = 1, below = 2 };

// Above when S2 / S1 >= R, else below when S2 / S1 <= 1 / R = den / num.
fc_class classify_fc(double s1, double s2, const observed_ratio &r);

// The same comparison for many combinations against one ratio, inline for
// the hot loops: S2 den >= num S1 and S2 num <= den S1 from error-free
// products (Dekker's; the terms of R split once, when the test is made).
// Every value, s1, s2, num and den, must be +0 or in [2^-450, 2^450], num
// and den not 0: then no product or part of one leaves the normal range, so
// a rounded product p = fl(x y) and its error x y - p, computed exactly, add
// up to x y.  Rounding keeps order, so two products compare as their rounded
// values when those differ, and as their errors when they are equal.  0 / 0
// counts nowhere; x / 0 with x > 0 is above.
class ratio_test {
public:
    explicit ratio_test(const observed_ratio &r)
        : num_(r.num), den_(r.den), num_hi_(high_part(r.num)), num_lo_(r.num - num_hi_),
          den_hi_(high_part(r.den)), den_lo_(r.den - den_hi_)
    {
    }

    // S2 / S1 >= R.
    bool above(double s1, double s2) const
    {
        return at_least(s2, den_, den_hi_, den_lo_, s1, num_, num_hi_, num_lo_) &&
               !(s1 == 0.0 && s2 == 0.0);
    }

    // S2 / S1 <= 1 / R.
    bool below(double s1, double s2) const
    {
        return at_least(s1, den_, den_hi_, den_lo_, s2, num_, num_hi_, num_lo_) &&
               !(s1 == 0.0 && s2 == 0.0);
    }

private:
    // The upper 26 bits of x (Veltkamp's splitting); x minus it is the rest,
    // exact.
    static double high_part(double x)
    {
        const double c = 134217729.0 * x;  // 2^27 + 1
        return c - (c - x);
    }

    // x y - p exactly, p = fl(x y), y split into y_hi + y_lo.
    static double product_error(double x, double y_hi, double y_lo, double p)
    {
        const double x_hi = high_part(x), x_lo = x - x_hi;
        return ((x_hi * y_hi - p) + x_hi * y_lo + x_lo * y_hi) + x_lo * y_lo;
    }

    // x y >= z w, y and w split.
    static bool at_least(double x, double y, double y_hi, double y_lo, double z, double w,
                         double w_hi, double w_lo)
    {
        const double p = x * y, q = z * w;
        if (p != q)
            return p > q;
        return product_error(x, y_hi, y_lo, p) >= product_error(z, w_hi, w_lo, q);
    }

    double num_, den_;
    double num_hi_, num_lo_, den_hi_, den_lo_;
};

// Doubles either side of R and of 1 / R: above_lo <= R <= above_hi, equal
// when R is a double and neighbours otherwise, and below_lo <= 1 / R <=
// below_hi likewise (NaN throughout when R is NaN).  A rounded quotient
// fl(x) > above_hi shows x > R, and fl(x) < above_lo shows x < R, since
// rounding keeps order; only a quotient that rounds onto [above_lo,
// above_hi] (or [below_lo, below_hi]) needs the exact comparison.
struct ratio_bounds {
    double above_lo, above_hi;
    double below_lo, below_hi;
};
ratio_bounds bounds_of(const observed_ratio &r);

#endif
