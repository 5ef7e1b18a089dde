#ifndef PVALUE_SIM_H
#define PVALUE_SIM_H

// The whole simulator: reads the command line, prints the counts, the
// library's trace and the result line on standard output, and returns the
// exit status.  A bad command line prints the usage text and ends the process
// with status 64 (exit); an allocation failure ends it with status 69.
int pvalue_sim_main(int argc, char **argv);

// The count arrays of the run (the last two allocated), kept until exit.
extern double *pvalue_sim_counts[2];
extern unsigned pvalue_sim_counts_made;

#endif
