/* The names of named pipes in the file system (named_pipe_entries.cpp). */
#ifndef PELORIM_POSIX_NAMED_PIPE_ENTRIES_H
#define PELORIM_POSIX_NAMED_PIPE_ENTRIES_H

#include <stddef.h>
#include <windows.h>

#include <string>

/* Whether `name` has the "\\.\PIPE\" prefix (any case). */
bool IsNamedPipeName(const char *name);

/* The path a client opens for pipe `name`: "<root>/pipes/<escaped NAME>/pipe",
 * which leads to the server's FIFO only while a server waits for its client.
 * 0, or ERROR_INVALID_NAME or ERROR_FILENAME_EXCED_RANGE. */
DWORD FormatPipeClientPath(char *out, size_t capacity, const char *name);

/* CreateFileA's path for a pipe name: opens the client (writing) end of a served
 * pipe. A handle, or NULL with the Win32 code in *error (ERROR_FILE_NOT_FOUND
 * when no server serves the name). */
HANDLE OpenNamedPipeClient(const char *name, DWORD access, DWORD *error);

/* Removes the name's directory `entry` below pipes/ (the descriptor `pipes`):
 * moved aside to `aside` first, so that no client sees it half taken apart,
 * then its entries and itself. Entries it does not know keep it; it stays
 * hidden then. Plain libc: the service watcher uses it before main. */
void RemovePipeDirectoryAt(int pipes, const char *entry, const char *aside);

/* What a server does to its name's entries: each reached through `pipes`, a
 * descriptor of the checked pipes/ directory (root.h). */

/* The name's directory under pipes/ (its own name there): 0, or
 * ERROR_INVALID_NAME or ERROR_FILENAME_EXCED_RANGE. */
DWORD PipeEntry(const char *name, std::string *entry);

/* Serves the name: its directory, built complete under a private name and
 * then moved into place (replacing the entries of a server that is gone), with
 * clients admitted. 0 and *fd, the locked, non-blocking reader of the FIFO,
 * which the server keeps for its life; ERROR_PIPE_BUSY while another live
 * server holds the name. */
DWORD ServeFifo(int pipes, const std::string &entry, int *fd);

/* Whether the name's directory is still that of the server reading `fd`. */
bool ServedBy(int pipes, const std::string &entry, int fd);

/* Points the name's client entry at the server's FIFO, so that the next
 * client connects, or away from it, so that a client fails with
 * ERROR_PIPE_BUSY; each in one step. */
DWORD AdmitClients(int pipes, const std::string &entry);
DWORD TurnClientsAway(int pipes, const std::string &entry);

/* Removes the name's directory (as RemovePipeDirectoryAt, aside under a private name). */
void RemovePipeDirectory(int pipes, const std::string &entry);

#endif
