/* Named pipes: "\\.\PIPE\NAME" is served by one process through a FIFO under
 * the root's pipes/ directory. The names and the client's side are
 * named_pipe_entries.h's; the servers are named_pipe.cpp's. */
#ifndef PELORIM_POSIX_NAMED_PIPE_H
#define PELORIM_POSIX_NAMED_PIPE_H

#include "named_pipe_entries.h"

/* Removes the FIFOs this process still serves; for the end of the process. */
void RemoveServedPipesAtExit(void);

#endif
