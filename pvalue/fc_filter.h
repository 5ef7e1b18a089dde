#ifndef PVALUE_FC_FILTER_H
#define PVALUE_FC_FILTER_H

// Division-free classification of a combination's fold change, exact by
// construction, for the vector kernels.
//
// The rule counts a combination above when x = S2 / S1 >= R and below when x
// <= 1 / R, exactly.  Let high be the smallest double >= R and low the
// largest <= 1 / R (exact_ratio.h).  With S1 > 0, x compares with high as S2
// - high * S1 compares with 0, and one fused multiply-add, r1 = fl(S2 - high
// * S1), has exactly the sign of that difference: rounding keeps the sign,
// an exact zero comes out as +0, and (see the range below) the difference is
// never so small that it would round to zero.  So
//   r1 >= 0  <=>  x >= high  ==> x >= R: above;
//   x < pred(high)           ==> x < R (pred(high) < R unless R = high,
//                                and then r1 < 0 alone says x < R): not above,
// and only the band pred(high) <= x < high, where x may lie either side of
// R, is left open.  In that band |S2 - high * S1| <= (high - pred(high)) *
// S1, so |r1| is below a bound `band` that holds for every combination of
// the call.  Likewise r2 = fl(low * S1 - S2) settles below for everything
// outside low < x <= succ(low).  A vector holding any lane with r1 or r2 in
// [-band, 0) is counted again with the exact comparison.
//
// Seen as signed 64-bit integers, doubles of sign 0 are >= 0 and the negative
// doubles in [-band, -0] are exactly those <= INT64_MIN + bits(band); the
// kernels test the signs and the band with integer compares.
//
// All of this needs S1 and S2 far from underflow and overflow, and high
// normal: every record's first and second +0 or in [2^-400, 2^400] (so every
// sum is +0 or lies in [2^-400, 2^404], a sum of non-negative terms being at
// least its largest term) and high in [2^-500, 2^500].  Then every product and
// difference stays normal: high * S1 is exact to a multiple of 2^-1004 and so
// is S2, so a non-zero difference has magnitude >= 2^-1004.  A call whose
// list or observed ratio falls outside is counted with the division and the
// exact comparison: negative values, -0, subnormals, infinities and NaNs.
//
// Zeros (the adjustment leaves them when the other condition sums to zero)
// stay in: S1 = 0 < S2 gives r1 = S2 > 0, above, as +inf is; S2 = 0 < S1 gives
// r2 = low * S1 > 0, below, as 0 is.  Only S1 = S2 = 0, a NaN that counts
// nowhere, would be misread, so when some record's first is 0 the kernels
// leave every lane with S1 = 0 open.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "pvalue.h"

// Internal linkage: the files that include this are compiled for different
// instruction sets, and each must keep its own copy.
namespace {

// How a call is counted, cheapest first.
enum class fc_mode {
    division,  // the division for every combination, exact where it rounds onto R's neighbours
    unit,      // R = 1: every combination counts, above when S2 >= S1
    products,  // small whole numbers: S2 den and num S1 are exact in double
    two_band,  // exact signs, r1 and r2 tested for their bands separately
    one_band,  // exact signs, the larger of r1 and r2 decides
};

struct fc_filter {
    // one_band when no combination can lie in both bands at once, so that
    // the larger of r1 and r2 decides everything: it is >= 0 exactly for the
    // extreme combinations and in [-band, 0) whenever either one is.
    fc_mode mode = fc_mode::division;
    // INT64_MIN + bits(band): r1 or r2 at or below it (as integers) is in the
    // band.
    int64_t band_key = 0;
    // Some record's first is +0, so a combination's S1 may be 0.
    bool zero_first = false;
};

inline int64_t fc_filter_bits(double v)
{
    int64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// A whole number in [0, 2^53); the bound first, so that the conversion is
// always defined.
inline bool fc_filter_whole(double v)
{
    return v >= 0.0 && v < 0x1p53 && static_cast<double>(static_cast<int64_t>(v)) == v;
}

// The filter for one call: k records per combination out of the list,
// high and low the doubles next to R and 1 / R (ratio_bounds::above_hi and
// below_lo), R = num / den.  The terms of R are held in [2^-450, 2^450], so
// that the exact comparison of a lane in a band can use error-free products
// (every product of a sum and a term in [2^-850, 2^856], its rounding error
// a multiple of 2^-956).
inline fc_filter make_fc_filter(const count_pair *list, uint64_t n, unsigned k, double high,
                                double low, double num, double den)
{
    const double lo_range = 0x1p-400, hi_range = 0x1p400;
    fc_filter flt;
    if (!(high >= 0x1p-500 && high <= 0x1p500 && num >= 0x1p-450 && num <= 0x1p450 &&
          den >= 0x1p-450 && den <= 0x1p450))
        return flt;
    const bool unit_ratio = num == den;
    double vmin = hi_range, vmax = lo_range;
    bool zero_pair = false, whole = true;
    for (uint64_t i = 0; i < n; ++i) {
        const double a = list[i].first, b = list[i].second;
        const bool a_zero = fc_filter_bits(a) == 0, b_zero = fc_filter_bits(b) == 0;
        // Written so that a NaN fails too; -0 fails, +0 is taken.
        if (!((a_zero || (a >= lo_range && a <= hi_range)) &&
              (b_zero || (b >= lo_range && b <= hi_range))))
            return flt;
        zero_pair |= a_zero && b_zero;
        whole &= fc_filter_whole(a) && fc_filter_whole(b);
        flt.zero_first |= a_zero;
        if (!a_zero)
            vmin = a < vmin ? a : vmin;  // every S1 that is not 0 is at least this
        vmax = a > vmax ? a : vmax;      // every S1 and S2 at most k times this
        vmax = b > vmax ? b : vmax;
    }
    // Every S1 is at most k * vmax * (1 + 2^-53)^k < 2 * k * vmax.  The gaps
    // below high and above low are powers of two; twice the larger of them
    // times that bound covers |r1| and |r2| in the bands with room to spare
    // for the rounding of r1 and r2 themselves.  All exact or rounded upward
    // by at most a factor (1 + 2^-52), far inside the factor 2 of slack.
    const double gap_high = high - std::nextafter(high, 0.0);
    const double gap_low = std::nextafter(low, INFINITY) - low;
    const double gap = gap_high > gap_low ? gap_high : gap_low;
    const double band = 2.0 * gap * (2.0 * k * vmax);
    flt.band_key = INT64_MIN + fc_filter_bits(band);
    // Both r1 >= -band and r2 >= -band would need r1 + r2 >= -2 band (a bit
    // more for rounding), but r1 + r2 is about (low - high) * S1 with S1 >=
    // vmin (a lane with S1 = 0 has r1 = -r2 = S2 exactly, and goes to the
    // exact comparison anyway).  So one band at a time whenever (high - low) * vmin
    // > 4 band.
    const bool one_band = high > low && (high - low) * vmin > 4.0 * band;
    flt.mode = one_band ? fc_mode::one_band : fc_mode::two_band;
    // With R = 1 (equal sums, as every all-zero row gives) a combination is
    // above when S2 >= S1 and below otherwise: every combination is extreme
    // but 0 / 0, which a list without a record (0, 0) cannot make.
    // Whole numbers whose every sum times a term of R stays below 2^53: the
    // cross products are exact, and comparing them is the rule itself.  No
    // record (0, 0), which would make a 0 / 0 look above.
    const double big = num > den ? num : den;
    if (whole && !zero_pair && fc_filter_whole(num) && fc_filter_whole(den) &&
        k * vmax * big < 0x1p53)
        flt.mode = fc_mode::products;
    if (unit_ratio && high == 1.0 && low == 1.0 && !zero_pair)
        flt.mode = fc_mode::unit;
    return flt;
}

}  // namespace

#endif
