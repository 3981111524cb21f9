/* Named pipes: "\\.\PIPE\NAME" is a FIFO under the root's pipes/ directory. */
#ifndef PELORIM_POSIX_NAMED_PIPE_H
#define PELORIM_POSIX_NAMED_PIPE_H

#include <windows.h>

/* Whether `name` has the "\\.\PIPE\" prefix (any case). */
bool IsNamedPipeName(const char *name);

/* CreateFileA's path for a pipe name: opens the client (writing) end of a served
 * pipe. A handle, or NULL with the Win32 code in *error (ERROR_FILE_NOT_FOUND
 * when no server serves the name). */
HANDLE OpenNamedPipeClient(const char *name, DWORD access, DWORD *error);

/* Removes the FIFOs this process still serves; for the end of the process. */
void RemoveServedPipesAtExit(void);

#endif
