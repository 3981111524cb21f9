/*
 * Named events and mutexes: one file per name under <root>/objects/, holding
 * the object's record and mapped MAP_SHARED by every process that has the
 * object open. Each such process keeps a shared flock on the file, so the
 * object is alive exactly while some live process holds it: the kernel drops
 * a dead process's flocks. The files are opened below a checked descriptor
 * of objects/, never through a link (root.h). A file that nobody holds locked is stale (its last
 * holder died) and counts as missing. Creating, opening and closing happen
 * under the root-wide names lock; the last holder to close removes the file,
 * and the directory with it once it is empty.
 *
 * A record's block is allocated before the file is mapped: a page of a file
 * with a hole is allocated at its first write, and on a full file system that
 * write raises SIGBUS. A full file system fails the creation with
 * ERROR_DISK_FULL instead, unless the root's spare record (kSpareRecord, made
 * while there is room) can stand in, so that an object made only at a stop
 * (the shutdown command's mutex) is still made when the service's output has
 * filled the disk.
 */
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "descriptor.h"
#include "errors.h"
#include "kernel_objects.h"
#include "root.h"

/* Layout 3 is layout 2's record, signalled only by builds that also bump the
 * root's changes word (wait.cpp); a waiter on a kernel without futex_waitv
 * sleeps on that word and would sleep through the signals of an older build.
 * So the two never share a record: each refuses the other's as it refuses a
 * record of another type. */
const uint32_t kStateMagic = 0x504b4f33;
const uint32_t kOlderStateMagic = 0x504b4f32;

struct NamedState {
    NamedState *next;
    char file[NAME_MAX + 1]; /* the name's file under objects/ */
    int fd;
    ObjectState *state;
    int uses; /* handles of this process */
};

namespace {

/* This process's open named objects; guarded by LockNames. */
NamedState *opened;
pid_t openedBy; /* the process that registered the exit clean-up */
pthread_once_t exitCleanupOnce = PTHREAD_ONCE_INIT;

void RegisterExitCleanup() {
    openedBy = getpid();
    atexit(RemoveNamedObjectsAtExit);
}

const char kObjectsDirectory[] = "objects";
/* Directly under the root, so that objects/ still goes once it is empty. */
const char kSpareRecord[] = "object.spare";

/* The root, taken once (under the names lock) when the first object is
 * opened, so that the clean-up at exit, while other threads still run, needs
 * no lock of the root's own. */
char objectsRoot[PATH_MAX];

const char *ObjectsRoot() {
    if (!objectsRoot[0]) snprintf(objectsRoot, sizeof objectsRoot, "%s", MachineRoot());
    return objectsRoot;
}

/* Removes the object's file, and the directory once it is empty. */
void RemoveObjectFile(const char *file) {
    DescriptorGuard directory;
    if (OpenCheckedDirectory(ObjectsRoot(), kObjectsDirectory, false, directory.Out()) != 0) return;
    unlinkat(directory.Get(), file, 0);
    directory.Reset();
    RemoveDirectoryIfEmpty(ObjectsRoot(), kObjectsDirectory);
}

/* Opens the object's file under objects/ (never through a link), creating both
 * when asked: the descriptor in *fd, or a Win32 code (ERROR_FILE_NOT_FOUND for
 * an object that does not exist). */
DWORD OpenObjectFile(const char *file, bool create, int *fd) {
    DescriptorGuard directory;
    DWORD error = OpenCheckedDirectory(ObjectsRoot(), kObjectsDirectory, create, directory.Out());
    if (error) return error;
    std::string directoryPath = std::string(ObjectsRoot()) + "/" + kObjectsDirectory;
    return OpenCheckedFile(directory.Get(), directoryPath.c_str(), file, O_RDWR | (create ? O_CREAT : 0), 0600, fd);
}

NamedState *FindOpened(const char *file) {
    for (NamedState *named = opened; named; named = named->next)
        if (strcmp(named->file, file) == 0) return named;
    return nullptr;
}

ObjectState *MapState(int fd) {
    void *memory = mmap(nullptr, sizeof(ObjectState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return memory == MAP_FAILED ? nullptr : (ObjectState *)memory;
}

/* The record's size, with its block allocated: 0 or a Win32 code
 * (ERROR_DISK_FULL on a full file system). Whatever the file held is written
 * over as a whole by the caller. */
DWORD AllocateRecord(int fd) {
    if (ftruncate(fd, sizeof(ObjectState)) != 0) return LastErrnoAsWin32();
    int error = RetryOnInterrupt([&] {
        int result = posix_fallocate(fd, 0, sizeof(ObjectState));
        errno = result;
        return result == 0 ? 0 : -1;
    });
    return error == 0 ? 0 : LastErrnoAsWin32();
}

/* Makes the root's spare record when there is none and there is room. */
void KeepSpareRecord() {
    DescriptorGuard fd;
    if (OpenRootFile(kSpareRecord, O_RDWR | O_CREAT | O_EXCL, 0600, fd.Out()) != 0) return;
    if (AllocateRecord(fd.Get()) != 0) unlinkat(AT_FDCWD, (std::string(ObjectsRoot()) + "/" + kSpareRecord).c_str(), 0);
}

/* On a full file system: moves the spare record into the place of the
 * object's new, empty file and opens it in *fd (closing the old one), under
 * the names lock, so that nobody else sees the name between the two. */
DWORD TakeSpareRecord(const char *file, DescriptorGuard *fd) {
    DescriptorGuard objects;
    if (OpenCheckedDirectory(ObjectsRoot(), kObjectsDirectory, false, objects.Out()) != 0) return ERROR_DISK_FULL;
    std::string spareRecord = std::string(ObjectsRoot()) + "/" + kSpareRecord;
    bool moved = renameat(AT_FDCWD, spareRecord.c_str(), objects.Get(), file) == 0;
    objects.Reset();
    DescriptorGuard spare;
    if (!moved || OpenObjectFile(file, false, spare.Out()) != 0) return ERROR_DISK_FULL;
    if (flock(spare.Get(), LOCK_EX | LOCK_NB) != 0) return ERROR_DISK_FULL;
    fd->Reset(spare.Release());
    return 0;
}

/* Gives a new or stale file the record `initial`; the caller holds the
 * exclusive flock, which becomes the shared one of a holder. */
DWORD InitialiseFile(const char *file, DescriptorGuard *fd, const ObjectState &initial, ObjectState **state) {
    DWORD error = AllocateRecord(fd->Get());
    if (error == ERROR_DISK_FULL) error = TakeSpareRecord(file, fd);
    else if (error == 0) KeepSpareRecord();
    if (error) return error;
    *state = MapState(fd->Get());
    if (!*state) return LastErrnoAsWin32();
    **state = initial;
    (*state)->magic = kStateMagic;
    if (flock(fd->Get(), LOCK_SH) != 0) return LastErrnoAsWin32();
    return 0;
}

/* Joins the live object in `fd` as a holder; checks its layout and type. */
DWORD JoinFile(const char *file, int fd, uint32_t type, ObjectState **state) {
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) return LastErrnoAsWin32();
    struct stat status;
    if (fstat(fd, &status) != 0) return LastErrnoAsWin32();
    if ((size_t)status.st_size < sizeof(ObjectState)) return ERROR_INVALID_HANDLE;
    *state = MapState(fd);
    if (!*state) return LastErrnoAsWin32();
    if ((*state)->magic == kOlderStateMagic)
        fprintf(stderr, "pelorim: %s/%s/%s is refused: a process of an older build holds it\n", ObjectsRoot(),
                kObjectsDirectory, file);
    if ((*state)->magic != kStateMagic || (*state)->type != type) return ERROR_INVALID_HANDLE;
    return 0;
}

/* Opens (or, with `initial`, creates) the object's file under the names lock. */
DWORD MapObjectFile(const char *file, uint32_t type, const ObjectState *initial,
                    NamedState **out, bool *existed) {
    DescriptorGuard fd;
    DWORD failed = OpenObjectFile(file, initial != nullptr, fd.Out());
    if (failed) return failed;
    bool live = flock(fd.Get(), LOCK_EX | LOCK_NB) != 0;
    if (!live && !initial) RemoveObjectFile(file);
    ObjectState *state = nullptr;
    DWORD error = ERROR_FILE_NOT_FOUND;
    if (live) error = JoinFile(file, fd.Get(), type, &state);
    else if (initial) error = InitialiseFile(file, &fd, *initial, &state);
    if (error) {
        if (state) munmap(state, sizeof(ObjectState));
        /* A file this call made, or found stale, is nobody's. */
        if (!live && initial) RemoveObjectFile(file);
        return error;
    }
    pthread_once(&exitCleanupOnce, RegisterExitCleanup);
    NamedState *named = new NamedState();
    snprintf(named->file, sizeof named->file, "%s", file);
    named->fd = fd.Release();
    named->state = state;
    named->uses = 1;
    named->next = opened;
    opened = named;
    *existed = live;
    *out = named;
    return 0;
}

DWORD AcquireNamedState(const char *name, uint32_t type, const ObjectState *initial,
                        NamedState **out, bool *existed) {
    char file[NAME_MAX + 1];
    DWORD error = EncodeObjectName(file, sizeof file, name);
    if (!error) error = RootPageError();
    if (error) return error;
    LockNames();
    NamedState *named = FindOpened(file);
    if (named && named->state->type != type) {
        error = ERROR_INVALID_HANDLE;
    } else if (named) {
        named->uses++;
        *existed = true;
        *out = named;
    } else {
        error = MapObjectFile(file, type, initial, out, existed);
    }
    UnlockNames();
    return error;
}

} // namespace

DWORD CreateNamedState(const char *name, const ObjectState &initial, NamedState **out,
                       bool *existed) {
    return AcquireNamedState(name, initial.type, &initial, out, existed);
}

DWORD OpenNamedState(const char *name, uint32_t type, NamedState **out) {
    bool existed = false;
    return AcquireNamedState(name, type, nullptr, out, &existed);
}

ObjectState *StateOf(NamedState *named) { return named->state; }

void CloseNamedState(NamedState *named) {
    LockNames();
    if (--named->uses > 0) {
        UnlockNames();
        return;
    }
    for (NamedState **link = &opened; *link; link = &(*link)->next) {
        if (*link != named) continue;
        *link = named->next;
        break;
    }
    munmap(named->state, sizeof(ObjectState));
    /* Our shared lock turns exclusive only when no other process holds one. */
    if (flock(named->fd, LOCK_EX | LOCK_NB) == 0) RemoveObjectFile(named->file);
    close(named->fd);
    UnlockNames();
    delete named;
}

/* Other threads may still use the records, so they stay mapped; only the files
 * that no other process holds are removed. A forked child that never exec'd
 * shares our open files and must leave them alone. */
void RemoveNamedObjectsAtExit(void) {
    if (getpid() != openedBy) return;
    LockNames();
    for (NamedState *named = opened; named; named = named->next) {
        if (flock(named->fd, LOCK_EX | LOCK_NB) != 0) continue;
        RemoveObjectFile(named->file);
    }
    UnlockNames();
}
