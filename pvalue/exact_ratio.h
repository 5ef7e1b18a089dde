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
