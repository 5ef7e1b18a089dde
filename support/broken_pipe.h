#ifndef BROKEN_PIPE_H
#define BROKEN_PIPE_H

// What every program of the suite does when the reader of its output goes
// away (mirdle ... | head, or a FIFO given to --output whose reader closes):
// it ends at once and quietly, as cat and grep do, killed by SIGPIPE; the
// shell reports status 141.  Header-only, so that the dispatcher, which links
// no code of the suite, can use it too.

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "exit_status.h"

// Gives SIGPIPE its default action whatever the disposition inherited from
// the parent (an ignored signal survives exec), so that a write to a pipe
// without a reader ends the process instead of failing with EPIPE.  Call it
// first thing in main; subcommands started by exec inherit it.
inline void take_default_sigpipe()
{
    std::signal(SIGPIPE, SIG_DFL);
}

// Called with the errno of a failed write of the program's output.  EPIPE
// still reaches a write when SIGPIPE is blocked: the process then ends just
// as quietly, with status 141, without flushing or closing anything (a flush
// would only fail again).  Returns for every other error, which the caller
// reports.  Safe to call from any thread.
inline void end_if_broken_pipe(int err)
{
    if (err == EPIPE)
        std::_Exit(exit_broken_pipe);
}

#endif
