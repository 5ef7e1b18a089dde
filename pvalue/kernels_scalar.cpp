#include "kernels.h"
#include "kernels_table.h"
#include "tail_scalar.h"

PVALUE_DEFINE_COUNT_TABLE(scalar_count_table, tail_scalar);
