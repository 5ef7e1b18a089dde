#ifndef EXIT_STATUS_H
#define EXIT_STATUS_H

// The suite's exit statuses: the BSD sysexits numbers, plus the shell's
// numbers for a program that was found but could not be started (126), a
// helper program that is not installed (127) and a reader that went away
// (141, 128 + SIGPIPE).  Every program of the suite takes its statuses from
// here.
enum exit_status : int {
    exit_ok = 0,
    exit_usage = 64,        // bad command line
    exit_data = 65,         // bad input data
    exit_no_input = 66,     // an input cannot be opened
    exit_no_memory = 69,    // allocation failure
    exit_internal = 70,     // internal inconsistency
    exit_cant_create = 73,  // an output file cannot be created
    exit_io = 74,           // a read or write error
    exit_cannot_run = 126,  // a subcommand was found but could not be started
    exit_not_installed = 127,  // a helper program (man) is not installed
    exit_broken_pipe = 141,    // the reader of the output went away
};

#endif
