/*
 * The machine root: the one directory that holds all machine state of the
 * layer ($PELORIM_ROOT; default /var/lib/pelorim for root, else
 * $XDG_STATE_HOME/pelorim or ~/.local/state/pelorim), and machine.db in it.
 */
#ifndef PELORIM_POSIX_ROOT_H
#define PELORIM_POSIX_ROOT_H

#include <windows.h>
#include <stddef.h>
#include <sys/types.h>

struct sqlite3;

/* The root directory, created on first use (with machine.db and its schema,
 * and the default JDK registered). Never NULL. */
const char *MachineRoot(void);

/* Joins the root, "/" and `relative` into `out`: 0, or ERROR_FILENAME_EXCED_RANGE. */
DWORD MachinePath(char *out, size_t capacity, const char *relative);

/* Whether the root's file system has at least `bytes` free for this process
 * (what statvfs counts as available to it); true when that cannot be told. */
bool RootHasRoom(unsigned long long bytes);

/* What lies under the root is opened only as the layer made it: someone with
 * write access to the root could plant a link (to make the layer write a file
 * elsewhere, or to put a whole directory's entries elsewhere) or a directory of
 * their own. These refuse both with ERROR_ACCESS_DENIED and a line on standard
 * error that names the entry and the reason.
 *
 * OpenCheckedDirectory opens `name`, one component directly under the
 * directory `root`, as a directory (creating it, mode 0700, when `create`):
 * never through a link, and only when it is owned by the owner of `root` and
 * no one else (group or others) may write it. 0 and *fd (the caller closes
 * it), or a Win32 code (ERROR_FILE_NOT_FOUND when it is missing and not to be
 * created). Plain libc: the service watcher uses it before the program's
 * statics exist. OpenRootDirectory does the same under MachineRoot(). */
DWORD OpenCheckedDirectory(const char *root, const char *name, bool create, int *fd);
DWORD OpenRootDirectory(const char *name, bool create, int *fd);

/* Opens the regular file `name` in the directory `directoryFd` (named
 * `directoryPath` in messages) with open's `flags` and `mode`, never through a
 * link (O_NOFOLLOW and O_CLOEXEC are added): 0 and *fd, or a Win32 code
 * (ERROR_FILE_NOT_FOUND for a missing file). OpenRootFile does the same for a
 * file directly under the root. */
DWORD OpenCheckedFile(int directoryFd, const char *directoryPath, const char *name, int flags, mode_t mode, int *fd);
DWORD OpenRootFile(const char *name, int flags, mode_t mode, int *fd);

/* Removes the directory `name` directly under `root` when it is empty. */
void RemoveDirectoryIfEmpty(const char *root, const char *name);

/* Maps an object or pipe name to one file name component that stays inside the
 * root whatever the name holds ("/", "\\", ".." are escaped): 0, or
 * ERROR_FILENAME_EXCED_RANGE / ERROR_INVALID_NAME. */
DWORD EncodeObjectName(char *out, size_t capacity, const char *name);

/* The process's connection to machine.db (WAL, busy timeout), opened on first
 * use and shared by the process's threads behind MachineDbLock. Every use is one
 * short statement or transaction between MachineDbLock and MachineDbUnlock.
 * MachineDbLock returns NULL when machine.db cannot be opened (the caller then
 * reports ERROR_REGISTRY_IO_FAILED or the like); MachineDbUnlock is called in
 * either case. The lock is recursive, and MachineRoot may be called under it.
 *
 * The schema made here covers the registry (tables registry_keys and
 * registry_values, view `registry`) and the event log (event_records, view
 * `eventlog`). Other parts of the layer keep tables of their own and create
 * them themselves with CREATE ... IF NOT EXISTS the first time they use the
 * connection in a process. */
sqlite3 *MachineDbLock(void);

/* The size an event-log record counts for, as SQL over its `source` and
 * `message` (columns or parameters): Windows' 56-byte record header, and the
 * source and the message each with its NUL. */
#define EVENT_RECORD_SIZE_SQL(source, message) \
    "(58 + length(CAST(" source " AS BLOB)) + length(CAST(" message " AS BLOB)))"

void MachineDbUnlock(void);

/* Why MachineDbLock returned NULL: ERROR_ACCESS_DENIED when the machine root
 * belongs to another user and is closed to this one (said once on standard
 * error), else ERROR_REGISTRY_IO_FAILED. The root is 0700 and machine.db with
 * its -wal and -shm 0600 from their creation; a root of an earlier version is
 * closed so on its first use by its owner. */
DWORD MachineDbOpenError(void);

/* Forgets the open connection and cached root after fork() in a child that will
 * exec; never used otherwise. */
void ResetMachineRootAfterFork(void);

#endif
