/*
 * Events and mutexes inside the layer. Their state is one ObjectState record:
 * in the process's memory for an unnamed object, in a MAP_SHARED file under
 * <root>/objects/ for a named one, so every process of the root that opens
 * the name sees (and changes) the same record. A record is only read or
 * changed under LockObject: a lock of this process for an unnamed object, the
 * root-wide wait lock for a named one. `wake` is the object's wait word.
 */
#ifndef PELORIM_POSIX_KERNEL_OBJECTS_H
#define PELORIM_POSIX_KERNEL_OBJECTS_H

#include <windows.h>
#include <stdint.h>
#include <sys/types.h>

#include "handles.h"

enum : uint32_t { kStateEvent = 1, kStateMutex = 2 };

struct ObjectState {
    uint32_t magic;
    uint32_t type; /* kStateEvent or kStateMutex */
    /* Events. */
    uint32_t manualReset;
    uint32_t signalled;
    /* Mutexes: owner 0 when free. ownerStart tells the owner process apart
     * from a later process that got the same pid. */
    int32_t ownerPid;
    int32_t ownerTid;
    uint64_t ownerStart;
    uint32_t recursion;
    uint32_t abandoned; /* the owner ended without releasing it */
    uint32_t wake;      /* futex word; only changed with atomics */
};

/* One process's view of a named object's record: shared by all handles of
 * this process to that name, counted, and closed with the last of them. */
struct NamedState;

/* Creates the named object or opens the live one of that name. A new (or stale)
 * object's record is set from `initial` before anyone else can see it. Sets
 * *existed when a live object of the name was opened instead. Errors:
 * ERROR_INVALID_HANDLE when the name belongs to an object of another type,
 * name errors of EncodeObjectName, errno-mapped errors. */
DWORD CreateNamedState(const char *name, const ObjectState &initial, NamedState **out,
                       bool *existed);
/* Opens the live object of that name and type: ERROR_FILE_NOT_FOUND when there
 * is none, ERROR_INVALID_HANDLE when it has another type. */
DWORD OpenNamedState(const char *name, uint32_t type, NamedState **out);
ObjectState *StateOf(NamedState *named);
/* Drops this process's use; the last holder of the root removes the file. */
void CloseNamedState(NamedState *named);

/* 0 when the root's page of locks is mapped; else why not (ERROR_ACCESS_DENIED
 * for a sync.shm planted under the root, ERROR_DISK_FULL, ...), and every named
 * object fails with it. */
DWORD RootPageError(void);

/* The root-wide wait lock, which guards the records of named objects. */
void LockWaits(void);
void UnlockWaits(void);

/* Serialises creating, opening and removing named objects across the root;
 * held only around file operations, never while waiting. */
void LockNames(void);
void UnlockNames(void);

/* Removes the files of the named objects this process is the last live holder
 * of, as the process ends without closing its handles (exit or ExitProcess). */
void RemoveNamedObjectsAtExit(void);

/* The kernel thread id of the caller (what GetCurrentThreadId returns). */
pid_t CurrentThreadId(void);
/* The start time of process `pid` in clock ticks since boot (0 when gone). */
uint64_t ProcessStartTime(pid_t pid);
/* Whether the owner recorded in a mutex record has ended. */
bool MutexOwnerGone(const ObjectState *state);

/* Wait loops sleep at most this long while a waited mutex is owned by another
 * thread, so that the owner's death is seen even though nobody wakes them. */
const DWORD kOwnerPollMilliseconds = 100;
/* Whether the object is a mutex owned by someone other than the calling thread. */
bool NeedsOwnerPolling(KernelObject *object);

#endif
