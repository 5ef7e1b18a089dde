// pvalue-sim: feeds drawn or given replicate counts to the P-value library and
// prints both P-values after the library's full trace.

#include "sim.h"

// The simulator always traces, and so always averages five passes for five or
// more pairs.
bool Debug = true;

int main(int argc, char **argv)
{
    return pvalue_sim_main(argc, argv);
}
