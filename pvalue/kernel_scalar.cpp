// The baseline instruction set's counting table.
#include "counting_table.h"
#include "kernels.h"
#include "scalar_kernel.h"

const count_table scalar_count_table = make_counting_table<scalar_kernel>();
