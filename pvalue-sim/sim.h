#ifndef PVALUE_SIM_H
#define PVALUE_SIM_H

// The whole simulator: reads the command line, prints the counts, the
// library's trace and the result line on standard output, and returns the
// exit status.  --help and --version print the help or the version on
// standard output instead.  A command line of the wrong shape prints the usage
// text, an unknown option one message (status 64); an allocation failure
// ends the process with status 69; a reader that goes away ends it quietly,
// by SIGPIPE or with status 141.
int pvalue_sim_main(int argc, char **argv);

#endif
