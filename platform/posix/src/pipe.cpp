#include "pipe.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "descriptor.h"
#include "errors.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

static pthread_mutex_t endsLock = PTHREAD_MUTEX_INITIALIZER;
static std::vector<PipeEnd *> openEnds;

void LockInheritableDescriptors(void) { pthread_mutex_lock(&endsLock); }
void UnlockInheritableDescriptors(void) { pthread_mutex_unlock(&endsLock); }
std::vector<int> InheritableDescriptors(void) {
    std::vector<int> descriptors;
    for (PipeEnd *end : openEnds)
        if (end->inheritable.load()) descriptors.push_back(end->fd_);
    return descriptors;
}

/* close_range from `first` up, marking with CLOSE_RANGE_CLOEXEC or closing;
 * where the kernel lacks the call (or its flag), descriptor by descriptor. */
static void CloseRangeFrom(int first, unsigned flags) {
    if (syscall(SYS_close_range, (unsigned)first, ~0u, flags) == 0) return;
    struct rlimit limit;
    rlim_t end = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 65536;
    if (end > 65536) end = 65536;
    for (int fd = first; fd < (int)end; fd++) {
        if (flags != 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
        else close(fd);
    }
}

void MarkDescriptorsCloseOnExec(void) { CloseRangeFrom(3, CLOSE_RANGE_CLOEXEC); }

void CloseDescriptorsFrom(int first) { CloseRangeFrom(first, 0); }

PipeEnd::PipeEnd(int fd, bool inheritable_) : KernelObject(ObjectKind::Pipe), fd_(fd), inheritable(inheritable_) {
    LockInheritableDescriptors();
    openEnds.push_back(this);
    UnlockInheritableDescriptors();
}

PipeEnd::~PipeEnd() {
    LockInheritableDescriptors();
    auto at = std::find(openEnds.begin(), openEnds.end(), this);
    if (at != openEnds.end()) openEnds.erase(at);
    close(fd_);
    UnlockInheritableDescriptors();
}

/* A read that finds every writer gone is ERROR_BROKEN_PIPE, as Win32 reports it;
 * overlapped reads of an anonymous pipe are done synchronously. */
DWORD PipeEnd::Read(void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) {
    if (done) *done = 0;
    if (size == 0) return 0;
    ssize_t n = RetryOnInterrupt([&] { return read(fd_, buffer, size); });
    if (n < 0) return LastErrnoAsWin32();
    if (n == 0) return ERROR_BROKEN_PIPE;
    if (done) *done = (DWORD)n;
    if (overlapped) {
        overlapped->InternalHigh = (ULONG_PTR)n;
        overlapped->Internal = 0;
        if (overlapped->hEvent) SetEvent(overlapped->hEvent);
    }
    return 0;
}

DWORD PipeEnd::Write(const void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) {
    DWORD code = WriteWithoutSigpipe(fd_, buffer, size, done);
    if (code == 0 && overlapped) {
        overlapped->InternalHigh = size;
        overlapped->Internal = 0;
        if (overlapped->hEvent) SetEvent(overlapped->hEvent);
    }
    return code;
}

/* SIGPIPE is blocked for this thread around the write; one raised by this write
 * is taken off the thread's pending set before the mask is restored, so no
 * process-wide disposition changes (children and the JVM keep theirs). */
DWORD WriteWithoutSigpipe(int fd, const void *buffer, DWORD size, DWORD *done) {
    sigset_t sigpipe, previous, pending;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe, &previous);
    sigpending(&pending);
    bool alreadyPending = sigismember(&pending, SIGPIPE);

    const char *bytes = static_cast<const char *>(buffer);
    DWORD written = 0, code = 0;
    while (written < size) {
        ssize_t n = RetryOnInterrupt([&] { return write(fd, bytes + written, size - written); });
        if (n < 0) {
            code = LastErrnoAsWin32();
            break;
        }
        written += (DWORD)n;
    }
    if (code == ERROR_NO_DATA && !alreadyPending) {
        static const struct timespec now = {0, 0};
        RetryOnInterrupt([&] { return sigtimedwait(&sigpipe, nullptr, &now); });
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (done) *done = written;
    return code;
}

static bool InheritRequested(LPSECURITY_ATTRIBUTES attributes) {
    return attributes && attributes->nLength >= sizeof(SECURITY_ATTRIBUTES) && attributes->bInheritHandle;
}

DWORD OpenPipeEnds(DescriptorGuard *readEnd, DescriptorGuard *writeEnd, int flags) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | flags) != 0) return LastErrnoAsWin32();
    readEnd->Reset(ends[0]);
    writeEnd->Reset(ends[1]);
    return 0;
}

/* Hands the descriptor over to a new pipe end, which owns it from then on. */
static DWORD InsertPipeEnd(DescriptorGuard *fd, bool inheritable, HANDLE *handle) {
    PipeEnd *end = new (std::nothrow) PipeEnd(fd->Get(), inheritable);
    if (!end) return ERROR_NOT_ENOUGH_MEMORY;
    fd->Release();
    *handle = InsertHandle(end, inheritable);
    if (*handle) return 0;
    ReleaseObject(end);
    return ERROR_NO_SYSTEM_RESOURCES;
}

/* nSize is a hint: a non-zero size larger than the system's default grows the
 * pipe's buffer where the system allows it. */
BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes, DWORD nSize) {
    if (!hReadPipe || !hWritePipe) return FailWith(ERROR_INVALID_PARAMETER);
    DescriptorGuard readFd, writeFd;
    DWORD code = OpenPipeEnds(&readFd, &writeFd, 0);
    if (code != 0) return FailWith(code);
    if (nSize > 0) {
        int current = fcntl(writeFd.Get(), F_GETPIPE_SZ);
        if (current > 0 && (DWORD)current < nSize) fcntl(writeFd.Get(), F_SETPIPE_SZ, (int)nSize);
    }
    bool inheritable = InheritRequested(lpPipeAttributes);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    code = InsertPipeEnd(&readFd, inheritable, &readEnd);
    if (code != 0) return FailWith(code);
    code = InsertPipeEnd(&writeFd, inheritable, &writeEnd);
    if (code != 0) {
        CloseHandleEntry(readEnd);
        return FailWith(code);
    }
    *hReadPipe = readEnd;
    *hWritePipe = writeEnd;
    return TRUE;
}

/* Only pipe ends are ever handed to children, so only theirs is kept; for
 * other handles the call succeeds and changes nothing a child could see.
 * HANDLE_FLAG_PROTECT_FROM_CLOSE is accepted and ignored. */
BOOL WINAPI SetHandleInformation(HANDLE hObject, DWORD dwMask, DWORD dwFlags) {
    ObjectReference object(ReferenceHandle(hObject, ObjectKind::Any));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    if (object.get()->kind == ObjectKind::Pipe && (dwMask & HANDLE_FLAG_INHERIT))
        static_cast<PipeEnd *>(object.get())->inheritable.store((dwFlags & HANDLE_FLAG_INHERIT) != 0);
    return TRUE;
}
