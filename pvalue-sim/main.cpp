// pvalue-sim: feeds drawn or given replicate counts to the P-value library and
// prints both P-values after the library's full trace.

#include "cli.h"
#include "sim.h"

// The simulator always traces, and so always averages five passes for five or
// more pairs.
bool Debug = true;

int main(int argc, char **argv)
{
    return cli_main("pvalue-sim", argc, argv, pvalue_sim_main);
}
