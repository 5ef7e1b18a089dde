#ifndef PVALUE_SIM_H
#define PVALUE_SIM_H

// The whole simulator: reads the command line, prints the counts, the
// library's trace and the result line on standard output, and returns the
// exit status.  --help and --version as the first argument print the usage
// text or the version on standard output instead.  A bad command line (an
// unknown option first writes "pvalue-sim: Unknown option %s.") prints the
// usage text and ends the process with status 64 (exit); an allocation
// failure ends it with status 69; a reader that goes away ends it quietly,
// by SIGPIPE or with status 141.
int pvalue_sim_main(int argc, char **argv);

#endif
