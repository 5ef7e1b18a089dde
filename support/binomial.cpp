#include "vp_binomial.h"

uint64_t vp_n_choose_k(uint64_t n, uint64_t k)
{
    if (k > n)
        return 0;
    if (k > n - k)
        k = n - k;
    // After step i the value is (n - k + i) choose i, never above the result,
    // so the 128-bit product cannot overflow while the result fits.
    unsigned __int128 r = 1;
    for (uint64_t i = 1; i <= k; ++i) {
        r = r * (n - k + i) / i;
        if (r > UINT64_MAX)
            return UINT64_MAX;
    }
    return static_cast<uint64_t>(r);
}
