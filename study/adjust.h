#ifndef ADJUST_H
#define ADJUST_H

#include <cstddef>

// Benjamini-Hochberg adjustment of n P-values: NaN entries stay NaN and are
// not counted; the others become min(1, min over ranks k >= i of m p(k) / k),
// with m the number of non-NaN values and ranks from 1 in increasing P.
void bh_adjust(const double *p, size_t n, double *adjusted);

#endif
