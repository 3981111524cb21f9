/*
 * Named pipes: "\\.\PIPE\NAME" is served by one process through a FIFO,
 * whose entries under the root's pipes/ are named_pipe_entries.cpp's. What is
 * implemented is the subset the output pipe server uses: an inbound,
 * byte-stream pipe of one instance, read with overlapped operations.
 *
 * A client connects when it opens the FIFO for writing. Each server has one I/O
 * thread that waits for that in a blocking open() of the FIFO (which returns
 * when a writer arrives) and then for data to complete a pending read; it
 * completes the caller's OVERLAPPED (Internal: the Win32 code, InternalHigh:
 * the bytes) and sets its event. As in Win32, every ConnectNamedPipe or ReadFile
 * with an OVERLAPPED resets its event first, whatever the outcome (so a call
 * that fails at once, or ERROR_PIPE_CONNECTED, leaves it reset), and an
 * operation that succeeds at once sets it.
 *
 * Differences from Win32, none of which the output pipe server depends on:
 * - Any nMaxInstances means one instance. Two clients that open in the same
 *   instant, before the server has seen the first, both join the FIFO.
 * - One overlapped operation at a time per pipe (another fails with
 *   ERROR_BUSY); CancelIo cancels it whichever thread started it.
 * - After DisconnectNamedPipe the client's writes do not fail until the server
 *   closes the pipe (they are discarded by the next disconnect or fill the
 *   FIFO).
 * - A killed server's entries stay until the next server of the name replaces
 *   them (named_pipe_entries.cpp).
 */
#include "detached_thread.h"
#include "named_pipe.h"
#include "named_pipe_entries.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

#include "descriptor.h"
#include "errors.h"
#include "handles.h"
#include "root.h"

/* ---- The server's state and its I/O thread ------------------------------- */

enum class Phase { Listening, Connected, Disconnected, Closing };
enum class Operation { None, Connect, Read };

struct PipeServer {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    DescriptorGuard pipes; /* the checked pipes/ directory, for the server's life */
    std::string entry;     /* the name's directory under pipes/ */
    std::string fifo;      /* our FIFO through /proc/self, for the I/O thread's opens */
    DescriptorGuard lockFd; /* non-blocking reader holding the flock; for the server's life */
    DescriptorGuard readFd; /* the connection: from the I/O thread's blocking open */
    DescriptorGuard wakeFd; /* eventfd that interrupts the I/O thread's poll */
    Phase phase = Phase::Listening;
    bool threadRunning = false;
    bool inOpen = false;     /* the I/O thread is (about to be) blocked in open() */
    bool clientGone = false; /* the connection reached end-of-file */
    Operation operation = Operation::None;
    OVERLAPPED *overlapped = nullptr;
    void *buffer = nullptr;
    DWORD size = 0;
};

typedef std::shared_ptr<PipeServer> ServerRef;

/* The FIFOs this process serves, so that a process that ends without closing
 * its pipes (ExitProcess, exit) removes them as Windows does with the pipes of
 * a process that ends. A forked child that never exec'd leaves them alone. */
static pthread_mutex_t servedLock = PTHREAD_MUTEX_INITIALIZER;
static PipeServer *served[16];
static pid_t servedBy;
static pthread_once_t servedCleanupOnce = PTHREAD_ONCE_INIT;

static void RegisterServedCleanup() {
    servedBy = getpid();
    atexit(RemoveServedPipesAtExit);
}

static void AddServed(PipeServer *server) {
    pthread_once(&servedCleanupOnce, RegisterServedCleanup);
    pthread_mutex_lock(&servedLock);
    for (PipeServer *&slot : served) {
        if (slot == nullptr) {
            slot = server;
            break;
        }
    }
    pthread_mutex_unlock(&servedLock);
}

static void RemoveServed(PipeServer *server) {
    pthread_mutex_lock(&servedLock);
    for (PipeServer *&slot : served)
        if (slot == server) slot = nullptr;
    pthread_mutex_unlock(&servedLock);
}

static void Wake(PipeServer &server) {
    uint64_t one = 1;
    ssize_t ignored = write(server.wakeFd.Get(), &one, sizeof one);
    (void)ignored;
    pthread_cond_broadcast(&server.changed);
}

/* Under server.lock. Ends the pending operation with `code` and `bytes`. */
static void Complete(PipeServer &server, DWORD code, DWORD bytes) {
    OVERLAPPED *overlapped = server.overlapped;
    server.operation = Operation::None;
    server.overlapped = nullptr;
    server.buffer = nullptr;
    if (!overlapped) return;
    overlapped->InternalHigh = bytes;
    overlapped->Internal = code;
    if (overlapped->hEvent) SetEvent(overlapped->hEvent);
    pthread_cond_broadcast(&server.changed);
}

/* Under server.lock, with a connection. 0 with *got bytes (*got 0: nothing yet),
 * ERROR_BROKEN_PIPE at end-of-file, or another code. */
static DWORD ReadAvailable(PipeServer &server, void *buffer, DWORD size, DWORD *got) {
    *got = 0;
    if (server.clientGone) return ERROR_BROKEN_PIPE;
    ssize_t n = RetryOnInterrupt([&] { return read(server.readFd.Get(), buffer, size); });
    if (n > 0) {
        *got = (DWORD)n;
        return 0;
    }
    if (n == 0) {
        server.clientGone = true;
        return ERROR_BROKEN_PIPE;
    }
    return errno == EAGAIN ? 0 : LastErrnoAsWin32();
}

/* Waits in open() for a client; false when the server is closing. */
static bool AwaitClient(PipeServer &server) {
    server.inOpen = true;
    pthread_mutex_unlock(&server.lock);
    DescriptorGuard fd(RetryOnInterrupt([&] { return open(server.fifo.c_str(), O_RDONLY | O_CLOEXEC); }));
    int error = errno;
    pthread_mutex_lock(&server.lock);
    server.inOpen = false;
    if (server.phase == Phase::Closing) return false;
    if (!fd) {
        server.phase = Phase::Disconnected;
        if (server.operation == Operation::Connect) Complete(server, Win32ErrorFromErrno(error), 0);
        return true;
    }
    fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) | O_NONBLOCK);
    if (server.phase == Phase::Disconnected) return true;
    server.readFd.Reset(fd.Release());
    server.clientGone = false;
    server.phase = Phase::Connected;
    /* One instance: later clients are refused until the server listens again. */
    TurnClientsAway(server.pipes.Get(), server.entry);
    if (server.operation == Operation::Connect) Complete(server, 0, 0);
    pthread_cond_broadcast(&server.changed);
    return true;
}

/* Connected: sleeps until a pending read can complete or something changes. */
static void ServeConnection(PipeServer &server) {
    bool reading = server.operation == Operation::Read;
    struct pollfd fds[2] = {{server.wakeFd.Get(), POLLIN, 0}, {reading ? server.readFd.Get() : -1, POLLIN, 0}};
    pthread_mutex_unlock(&server.lock);
    RetryOnInterrupt([&] { return poll(fds, 2, -1); });
    uint64_t drained;
    if (fds[0].revents) {
        ssize_t ignored = read(server.wakeFd.Get(), &drained, sizeof drained);
        (void)ignored;
    }
    pthread_mutex_lock(&server.lock);
    if (server.phase != Phase::Connected || server.operation != Operation::Read || !fds[1].revents) return;
    DWORD got = 0;
    DWORD code = ReadAvailable(server, server.buffer, server.size, &got);
    if (code != 0 || got > 0) Complete(server, code, got);
}

static void *RunServer(void *argument) {
    ServerRef *owned = static_cast<ServerRef *>(argument);
    ServerRef server = *owned;
    delete owned;
    pthread_mutex_lock(&server->lock);
    for (;;) {
        if (server->phase == Phase::Closing) break;
        if (server->phase != Phase::Connected) server->readFd.Reset();
        if (server->phase == Phase::Listening) {
            if (!AwaitClient(*server)) break;
        } else if (server->phase == Phase::Connected) {
            ServeConnection(*server);
        } else {
            pthread_cond_wait(&server->changed, &server->lock);
        }
    }
    server->threadRunning = false;
    pthread_cond_broadcast(&server->changed);
    pthread_mutex_unlock(&server->lock);
    return nullptr;
}

static DWORD StartServerThread(const ServerRef &server) {
    ServerRef *argument = new (std::nothrow) ServerRef(server);
    if (!argument) return ERROR_NOT_ENOUGH_MEMORY;
    server->threadRunning = true;
    DWORD error = StartDetachedThread(RunServer, argument, 256 * 1024);
    if (error == 0) return 0;
    server->threadRunning = false;
    delete argument;
    return error;
}

/* Ends the I/O thread's wait in open() by opening the FIFO for writing (the
 * server's own reader makes that succeed at once) and waits for the thread to
 * end; then closes the connection (the client's next write fails), removes the
 * FIFO and drops the lock. A pending operation ends with
 * ERROR_OPERATION_ABORTED. */
static void CloseServer(PipeServer &server) {
    pthread_mutex_lock(&server.lock);
    server.phase = Phase::Closing;
    if (server.operation != Operation::None) Complete(server, ERROR_OPERATION_ABORTED, 0);
    for (int tries = 0; server.inOpen && tries < 2000; tries++) {
        pthread_mutex_unlock(&server.lock);
        int fd = open(server.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) close(fd);
        usleep(1000);
        pthread_mutex_lock(&server.lock);
    }
    Wake(server);
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    while (server.threadRunning)
        if (pthread_cond_timedwait(&server.changed, &server.lock, &deadline) == ETIMEDOUT) break;
    if (!server.threadRunning) server.readFd.Reset();
    RemoveServed(&server);
    if (ServedBy(server.pipes.Get(), server.entry, server.lockFd.Get()))
        RemovePipeDirectory(server.pipes.Get(), server.entry);
    server.lockFd.Reset();
    pthread_mutex_unlock(&server.lock);
}

/* ---- The handle ------------------------------------------------------------ */

struct NamedPipeObject : KernelObject {
    explicit NamedPipeObject(const ServerRef &s) : KernelObject(ObjectKind::NamedPipe), server(s) {}
    ~NamedPipeObject() override { CloseServer(*server); }
    DWORD Read(void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) override;
    DWORD Write(const void *, DWORD, DWORD *done, OVERLAPPED *) override {
        if (done) *done = 0;
        return ERROR_ACCESS_DENIED;
    }
    ServerRef server;
};

static void ResetOverlappedEvent(OVERLAPPED *overlapped) {
    if (overlapped && overlapped->hEvent) ResetEvent(overlapped->hEvent);
}

static void StartOverlapped(OVERLAPPED *overlapped) {
    overlapped->Internal = ERROR_IO_PENDING;
    overlapped->InternalHigh = 0;
}

static void FinishAtOnce(OVERLAPPED *overlapped, DWORD bytes) {
    if (!overlapped) return;
    overlapped->InternalHigh = bytes;
    overlapped->Internal = 0;
    if (overlapped->hEvent) SetEvent(overlapped->hEvent);
}

/* Under server.lock; a read without OVERLAPPED blocks until data or the end. */
static DWORD ReadBlocking(PipeServer &server, void *buffer, DWORD size, DWORD *done) {
    for (;;) {
        if (server.phase != Phase::Connected) return ERROR_PIPE_NOT_CONNECTED;
        DWORD code = ReadAvailable(server, buffer, size, done);
        if (code != 0 || *done > 0) return code;
        struct pollfd p = {server.readFd.Get(), POLLIN, 0};
        pthread_mutex_unlock(&server.lock);
        poll(&p, 1, 50);
        pthread_mutex_lock(&server.lock);
    }
}

DWORD NamedPipeObject::Read(void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) {
    if (done) *done = 0;
    ResetOverlappedEvent(overlapped);
    PipeServer &s = *server;
    pthread_mutex_lock(&s.lock);
    DWORD code = 0, got = 0;
    if (s.phase == Phase::Listening) code = ERROR_PIPE_LISTENING;
    else if (s.phase != Phase::Connected) code = ERROR_PIPE_NOT_CONNECTED;
    else if (s.operation != Operation::None) code = ERROR_BUSY;
    if (code == 0 && !overlapped) code = ReadBlocking(s, buffer, size, &got);
    else if (code == 0) {
        StartOverlapped(overlapped);
        code = ReadAvailable(s, buffer, size, &got);
        if (code == 0 && got > 0) FinishAtOnce(overlapped, got);
        else if (code == 0) {
            s.operation = Operation::Read;
            s.overlapped = overlapped;
            s.buffer = buffer;
            s.size = size;
            Wake(s);
            code = ERROR_IO_PENDING;
        }
    }
    pthread_mutex_unlock(&s.lock);
    if (done) *done = got;
    return code;
}

/* ---- API ------------------------------------------------------------------- */

HANDLE WINAPI CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                               DWORD nOutBufferSize, DWORD nInBufferSize, DWORD nDefaultTimeOut,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    (void)nOutBufferSize, (void)nInBufferSize, (void)nDefaultTimeOut;
    if (nMaxInstances == 0 || nMaxInstances > PIPE_UNLIMITED_INSTANCES)
        return FailWithHandle(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if ((dwOpenMode & ~FILE_FLAG_OVERLAPPED) != PIPE_ACCESS_INBOUND || dwPipeMode != 0)
        return FailWithHandle(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
    ServerRef server = std::make_shared<PipeServer>();
    DWORD code = PipeEntry(lpName, &server->entry);
    if (code == 0) code = OpenRootDirectory("pipes", true, server->pipes.Out());
    if (code == 0) server->wakeFd.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (code == 0 && !server->wakeFd) code = LastErrnoAsWin32();
    if (code == 0) code = ServeFifo(server->pipes.Get(), server->entry, server->lockFd.Out());
    if (code != 0) return FailWithHandle(code, INVALID_HANDLE_VALUE);
    server->fifo = "/proc/self/fd/" + std::to_string(server->lockFd.Get());
    AddServed(server.get());
    code = StartServerThread(server);
    if (code != 0) {
        CloseServer(*server);
        return FailWithHandle(code, INVALID_HANDLE_VALUE);
    }
    NamedPipeObject *object = new (std::nothrow) NamedPipeObject(server);
    if (!object) {
        CloseServer(*server);
        return FailWithHandle(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    }
    HANDLE handle = InsertHandle(object, lpSecurityAttributes && lpSecurityAttributes->bInheritHandle);
    if (handle) return handle;
    ReleaseObject(object);
    return FailWithHandle(ERROR_NO_SYSTEM_RESOURCES, INVALID_HANDLE_VALUE);
}

/* A client whose open came before this call: ERROR_PIPE_CONNECTED, or
 * ERROR_NO_DATA when it has closed again already (both as Win32). */
static DWORD ConnectedAlready(PipeServer &server) {
    struct pollfd p = {server.readFd.Get(), POLLIN, 0};
    if (server.clientGone || (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) && !(p.revents & POLLIN)))
        return ERROR_NO_DATA;
    return ERROR_PIPE_CONNECTED;
}

/* A client's open of the FIFO returns at once (the server's own reader is
 * there), a moment before the I/O thread's open sees it: a client that has
 * opened is given that moment to count as connected. */
static void GraceForOpenedClient(PipeServer &server) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 50 * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) deadline.tv_sec++, deadline.tv_nsec -= 1000000000L;
    while (server.phase == Phase::Listening)
        if (pthread_cond_timedwait(&server.changed, &server.lock, &deadline) == ETIMEDOUT) break;
}

BOOL WINAPI ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped) {
    ObjectReference object(ReferenceHandle(hNamedPipe, ObjectKind::NamedPipe));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    PipeServer &s = *static_cast<NamedPipeObject *>(object.get())->server;
    ResetOverlappedEvent(lpOverlapped);
    pthread_mutex_lock(&s.lock);
    if (s.phase == Phase::Listening && s.operation == Operation::None) GraceForOpenedClient(s);
    DWORD code = 0;
    if (s.operation != Operation::None) code = ERROR_BUSY;
    else if (s.phase == Phase::Connected) code = ConnectedAlready(s);
    else {
        if (s.phase == Phase::Disconnected) {
            s.phase = Phase::Listening;
            AdmitClients(s.pipes.Get(), s.entry);
            Wake(s);
        }
        if (lpOverlapped) {
            StartOverlapped(lpOverlapped);
            s.operation = Operation::Connect;
            s.overlapped = lpOverlapped;
            code = ERROR_IO_PENDING;
        } else {
            while (s.phase == Phase::Listening) pthread_cond_wait(&s.changed, &s.lock);
            if (s.phase != Phase::Connected) code = ERROR_PIPE_NOT_CONNECTED;
        }
    }
    pthread_mutex_unlock(&s.lock);
    return code == 0 ? TRUE : FailWith(code);
}

/* Pending work ends with ERROR_PIPE_NOT_CONNECTED; unread data is dropped. */
BOOL WINAPI DisconnectNamedPipe(HANDLE hNamedPipe) {
    ObjectReference object(ReferenceHandle(hNamedPipe, ObjectKind::NamedPipe));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    PipeServer &s = *static_cast<NamedPipeObject *>(object.get())->server;
    pthread_mutex_lock(&s.lock);
    if (s.operation != Operation::None) Complete(s, ERROR_PIPE_NOT_CONNECTED, 0);
    if (s.phase == Phase::Connected) {
        char discard[4096];
        while (read(s.lockFd.Get(), discard, sizeof discard) > 0) {
        }
        s.phase = Phase::Disconnected;
        Wake(s);
    }
    pthread_mutex_unlock(&s.lock);
    return TRUE;
}

/* Internal and InternalHigh of a pending operation are written by the pipe's
 * I/O thread under the pipe's lock; they are read under it too. */
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    if (!lpOverlapped || !lpNumberOfBytesTransferred) return FailWith(ERROR_INVALID_PARAMETER);
    ObjectReference object(ReferenceHandle(hFile, ObjectKind::Any));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    PipeServer *server = nullptr;
    if (object.get()->kind == ObjectKind::NamedPipe) server = static_cast<NamedPipeObject *>(object.get())->server.get();
    if (server) pthread_mutex_lock(&server->lock);
    while (server && bWait && lpOverlapped->Internal == ERROR_IO_PENDING)
        pthread_cond_wait(&server->changed, &server->lock);
    DWORD code = (DWORD)lpOverlapped->Internal;
    DWORD bytes = (DWORD)lpOverlapped->InternalHigh;
    if (server) pthread_mutex_unlock(&server->lock);
    if (code == ERROR_IO_PENDING) return FailWith(ERROR_IO_INCOMPLETE);
    *lpNumberOfBytesTransferred = bytes;
    return code == 0 ? TRUE : FailWith(code);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    ObjectReference object(ReferenceHandle(hFile, ObjectKind::Any));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    if (object.get()->kind != ObjectKind::NamedPipe) return TRUE;
    PipeServer &s = *static_cast<NamedPipeObject *>(object.get())->server;
    pthread_mutex_lock(&s.lock);
    if (s.operation != Operation::None) {
        Complete(s, ERROR_OPERATION_ABORTED, 0);
        Wake(s);
    }
    pthread_mutex_unlock(&s.lock);
    return TRUE;
}

void RemoveServedPipesAtExit(void) {
    if (getpid() != servedBy) return;
    pthread_mutex_lock(&servedLock);
    for (PipeServer *server : served)
        if (server && ServedBy(server->pipes.Get(), server->entry, server->lockFd.Get()))
            RemovePipeDirectory(server->pipes.Get(), server->entry);
    pthread_mutex_unlock(&servedLock);
}
