/* Named pipes: "\\.\PIPE\NAME" is a FIFO under the root's pipes/ directory. */
#ifndef PELORIM_POSIX_NAMED_PIPE_H
#define PELORIM_POSIX_NAMED_PIPE_H

#include <stddef.h>
#include <windows.h>

/* Whether `name` has the "\\.\PIPE\" prefix (any case). */
bool IsNamedPipeName(const char *name);

/* The path a client opens for pipe `name`: "<root>/pipes/<escaped NAME>/pipe",
 * which leads to the server's FIFO only while a server waits for its client.
 * 0, or ERROR_INVALID_NAME or ERROR_FILENAME_EXCED_RANGE. The layout of pipes/
 * is known here and nowhere else. */
DWORD FormatPipeClientPath(char *out, size_t capacity, const char *name);

/* CreateFileA's path for a pipe name: opens the client (writing) end of a served
 * pipe. A handle, or NULL with the Win32 code in *error (ERROR_FILE_NOT_FOUND
 * when no server serves the name). */
HANDLE OpenNamedPipeClient(const char *name, DWORD access, DWORD *error);

/* Removes the name's directory `entry` below pipes/ (the descriptor `pipes`):
 * moved aside to `aside` first, so that no client sees it half taken apart,
 * then its entries and itself. Entries it does not know keep it; it stays
 * hidden then. Plain libc: the service watcher uses it before the program's
 * statics exist. */
void RemovePipeDirectoryAt(int pipes, const char *entry, const char *aside);

/* Removes the FIFOs this process still serves; for the end of the process. */
void RemoveServedPipesAtExit(void);

#endif
