/*
 * The names of named pipes in the file system: "\\.\PIPE\NAME" is served
 * through a FIFO under the root's pipes/ directory, and the layout of pipes/
 * is known here and nowhere else.
 *
 * Clients (Java among them) open HostJavaPipePath(name), "<root>/pipes/NAME/pipe",
 * with their own open(2), often with O_CREAT. The file system is shaped so that
 * such an open connects exactly when Win32 would connect, and otherwise fails at
 * once without creating anything:
 * - pipes/NAME exists only while a server holds the name. Without it the open
 *   fails with ENOENT (ERROR_FILE_NOT_FOUND for CreateFileA).
 * - pipes/NAME/server is a symbolic link to /proc/<server pid>/fd/<n>, the
 *   server's own reading descriptor of a FIFO that has no other name. The server
 *   holds a flock on it, which tells a live server from the entries of a killed
 *   one; once the server process is gone the link leads nowhere, so a client of
 *   a killed server fails with ENOENT rather than blocking or creating a file.
 * - pipes/NAME/pipe points at "server" while the server waits for its client,
 *   and at "server/busy" once a client has connected: that open fails with
 *   ENOTDIR (ERROR_PIPE_BUSY), as Win32 refuses a second client of a pipe of one
 *   instance.
 * The server keeps its reader open from CreateNamedPipeA to CloseHandle, so a
 * client's open never blocks. A second server of a served name fails with
 * ERROR_PIPE_BUSY (231), what Win32 gives when the instance limit is reached.
 *
 * A killed server's entries stay until the next server of the name replaces
 * them; should a later process get the dead server's pid and have the same
 * descriptor open, a client would reach that descriptor. Windows has no such
 * window: the kernel ends a pipe with its process.
 */
#include "named_pipe_entries.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#include "descriptor.h"
#include "errors.h"
#include "pipe.h"
#include "root.h"

static const char pipePrefix[] = "\\\\.\\PIPE\\";

bool IsNamedPipeName(const char *name) {
    return name && strncasecmp(name, pipePrefix, sizeof pipePrefix - 1) == 0;
}

static const char clientEntry[] = "pipe";
static const char serverEntry[] = "server";

DWORD FormatPipeClientPath(char *out, size_t capacity, const char *name) {
    if (!IsNamedPipeName(name) || !name[sizeof pipePrefix - 1]) return ERROR_INVALID_NAME;
    char encoded[512];
    if (EncodeObjectName(encoded, sizeof encoded, name + sizeof pipePrefix - 1) != 0) return ERROR_INVALID_NAME;
    char relative[600];
    snprintf(relative, sizeof relative, "pipes/%s/%s", encoded, clientEntry);
    if (MachinePath(out, capacity, relative) != 0) return ERROR_FILENAME_EXCED_RANGE;
    return 0;
}

/* The client's path ("<dir>/pipe") and the name's directory under pipes/. */
static DWORD ClientPath(const char *name, std::string *path) {
    char buffer[PATH_MAX];
    DWORD code = FormatPipeClientPath(buffer, sizeof buffer, name);
    if (code != 0) return code;
    *path = buffer;
    return 0;
}
/* The client entry's next target, made here and renamed over it. */
static const char switchEntry[] = ".switch";
/* Resolves through the server's FIFO, which is no directory: the open fails
 * with ENOTDIR and nothing can be created there. */
static const char busyTarget[] = "server/busy";

/* The name's entry under pipes/: its directory's own name. */
DWORD PipeEntry(const char *name, std::string *entry) {
    std::string path;
    DWORD code = ClientPath(name, &path);
    if (code != 0) return code;
    std::string directory = path.substr(0, path.rfind('/'));
    *entry = directory.substr(directory.rfind('/') + 1);
    return 0;
}

/* ---- Serving a FIFO ------------------------------------------------------- */

/* Every entry below pipes/ is reached through `pipes`, a descriptor of the
 * checked directory (root.h) that the server holds for its life, so pipes/
 * planted as a link, or swapped for one later, never puts an entry elsewhere. */

static std::string Inside(const std::string &entry, const char *name) { return entry + "/" + name; }

/* A name under pipes/ that no client looks for, for a directory being built or taken apart. */
static std::string PrivateName(const char *kind) {
    static std::atomic<unsigned> counter{0};
    return std::string(".") + kind + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

/* What the server's entry points at: its FIFO's reading descriptor in this
 * process. It dangles once the process is gone, so the entries of a killed
 * server lead nowhere. */
static std::string ServerTarget(int fd) {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
}

void RemovePipeDirectoryAt(int pipes, const char *entry, const char *aside) {
    if (renameat(pipes, entry, pipes, aside) != 0) return;
    char part[PATH_MAX];
    for (const char *name : {clientEntry, serverEntry, switchEntry}) {
        snprintf(part, sizeof part, "%s/%s", aside, name);
        unlinkat(pipes, part, 0);
    }
    unlinkat(pipes, aside, AT_REMOVEDIR);
}

void RemovePipeDirectory(int pipes, const std::string &entry) {
    RemovePipeDirectoryAt(pipes, entry.c_str(), PrivateName("old").c_str());
}

/* Whatever holds a name that no live server holds (the entries of a killed
 * server, or a file of an older layout) is removed: 0. A live server:
 * ERROR_PIPE_BUSY. */
static DWORD RemoveUnserved(int pipes, const std::string &entry) {
    struct stat status;
    if (fstatat(pipes, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : LastErrnoAsWin32();
    if (!S_ISDIR(status.st_mode)) {
        if (unlinkat(pipes, entry.c_str(), 0) != 0 && errno != ENOENT) return LastErrnoAsWin32();
        return 0;
    }
    std::string server = Inside(entry, serverEntry);
    DescriptorGuard other(openat(pipes, server.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!other && (errno == EACCES || errno == EPERM)) return ERROR_PIPE_BUSY;
    bool live = other && flock(other.Get(), LOCK_EX | LOCK_NB) != 0;
    other.Reset();
    if (live) return ERROR_PIPE_BUSY;
    RemovePipeDirectory(pipes, entry);
    return 0;
}

/* Points the client entry of the name's directory `entry` at `target`, in one step. */
static DWORD PublishClientEntry(int pipes, const std::string &entry, const char *target) {
    std::string next = Inside(entry, switchEntry);
    unlinkat(pipes, next.c_str(), 0);
    if (symlinkat(target, pipes, next.c_str()) != 0) return LastErrnoAsWin32();
    if (renameat(pipes, next.c_str(), pipes, Inside(entry, clientEntry).c_str()) != 0) {
        DWORD code = LastErrnoAsWin32();
        unlinkat(pipes, next.c_str(), 0);
        return code;
    }
    return 0;
}

/* A locked, non-blocking reader of a fresh FIFO that has no name: 0 with *fd. */
static DWORD OpenAnonymousFifo(int pipes, const std::string &entry, int *fd) {
    std::string fifo = Inside(entry, "fifo");
    if (mkfifoat(pipes, fifo.c_str(), 0600) != 0) return LastErrnoAsWin32();
    DescriptorGuard reader(openat(pipes, fifo.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    DWORD code = reader ? 0 : LastErrnoAsWin32();
    if (code == 0 && flock(reader.Get(), LOCK_EX | LOCK_NB) != 0) code = LastErrnoAsWin32();
    unlinkat(pipes, fifo.c_str(), 0);
    if (code == 0) *fd = reader.Release();
    return code;
}

/* Builds the name's directory under a private name (the FIFO's reader, the
 * server entry, the client entry pointing at it) and only then moves it into
 * place, so no other process ever sees it unfinished or unlocked. Returns the
 * locked read descriptor in *fd. */
DWORD ServeFifo(int pipes, const std::string &entry, int *fd) {
    std::string fresh = PrivateName("new");
    if (mkdirat(pipes, fresh.c_str(), 0700) != 0) return LastErrnoAsWin32();
    DescriptorGuard reader;
    DWORD code = OpenAnonymousFifo(pipes, fresh, reader.Out());
    if (code == 0 && symlinkat(ServerTarget(reader.Get()).c_str(), pipes, Inside(fresh, serverEntry).c_str()) != 0)
        code = LastErrnoAsWin32();
    if (code == 0) code = PublishClientEntry(pipes, fresh, serverEntry);
    for (int attempt = 0; code == 0; attempt++) {
        if (renameat(pipes, fresh.c_str(), pipes, entry.c_str()) == 0) break;
        if (errno != EEXIST && errno != ENOTEMPTY && errno != ENOTDIR && errno != EISDIR) code = LastErrnoAsWin32();
        else if (attempt == 8) code = ERROR_PIPE_BUSY;
        else code = RemoveUnserved(pipes, entry);
    }
    if (code != 0) {
        for (const char *name : {clientEntry, serverEntry}) unlinkat(pipes, Inside(fresh, name).c_str(), 0);
        unlinkat(pipes, fresh.c_str(), AT_REMOVEDIR);
        return code;
    }
    *fd = reader.Release();
    return 0;
}

/* Whether the name's directory is still this server's: its server entry names our FIFO. */
bool ServedBy(int pipes, const std::string &entry, int fd) {
    char target[PATH_MAX];
    ssize_t size = readlinkat(pipes, Inside(entry, serverEntry).c_str(), target, sizeof target - 1);
    if (size <= 0) return false;
    target[size] = '\0';
    return ServerTarget(fd) == target;
}

DWORD AdmitClients(int pipes, const std::string &entry) { return PublishClientEntry(pipes, entry, serverEntry); }

DWORD TurnClientsAway(int pipes, const std::string &entry) { return PublishClientEntry(pipes, entry, busyTarget); }

/* ---- The client ------------------------------------------------------------- */

/* The client end is an ordinary pipe end writing into the FIFO. No live server
 * is ERROR_FILE_NOT_FOUND, as for a name nobody serves; a server that has its
 * client is ERROR_PIPE_BUSY; the pipes are inbound, so a client may not read. */
HANDLE OpenNamedPipeClient(const char *name, DWORD access, DWORD *error) {
    std::string path;
    *error = ClientPath(name, &path);
    if (*error != 0) return nullptr;
    if (access & GENERIC_READ) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    DescriptorGuard fd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (fd && (fstat(fd.Get(), &status) != 0 || !S_ISFIFO(status.st_mode))) {
        fd.Reset();
        errno = ENOENT;
    }
    if (!fd) {
        if (errno == ENOTDIR) *error = ERROR_PIPE_BUSY;
        else if (errno == ENXIO || errno == ENOENT) *error = ERROR_FILE_NOT_FOUND;
        else *error = LastErrnoAsWin32();
        return nullptr;
    }
    fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    PipeEnd *end = new (std::nothrow) PipeEnd(fd.Get(), false);
    if (!end) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    fd.Release(); /* the pipe end's now */
    HANDLE handle = InsertHandle(end, false);
    if (!handle) {
        ReleaseObject(end);
        *error = ERROR_NO_SYSTEM_RESOURCES;
    }
    return handle;
}
