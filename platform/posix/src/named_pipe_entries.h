/* What a named pipe's server does to its name's entries under pipes/
 * (named_pipe_entries.cpp); every entry is reached through `pipes`, a
 * descriptor of the checked pipes/ directory (root.h). */
#ifndef PELORIM_POSIX_NAMED_PIPE_ENTRIES_H
#define PELORIM_POSIX_NAMED_PIPE_ENTRIES_H

#include <windows.h>

#include <string>

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

/* Removes the name's directory (see RemovePipeDirectoryAt in named_pipe.h). */
void RemovePipeDirectory(int pipes, const std::string &entry);

#endif
