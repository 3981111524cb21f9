/*
 * The process's standard handles: descriptors 0, 1 and 2 (see system.h).
 * SetStdHandle remembers the handle it was given, so that GetStdHandle
 * returns that handle as Win32 does; a slot never set gets, on the first
 * GetStdHandle, a handle of the layer's own for a duplicate of the descriptor
 * the process started with, kept for the life of the process.
 */
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <new>

#include "descriptor.h"
#include "errors.h"
#include "handles.h"
#include "pipe.h"

namespace {

pthread_mutex_t slotsLock = PTHREAD_MUTEX_INITIALIZER;
HANDLE slots[3];

/* 0, 1 or 2 for STD_INPUT_HANDLE, STD_OUTPUT_HANDLE and STD_ERROR_HANDLE; else -1. */
int StandardDescriptor(DWORD which) {
    switch (which) {
    case STD_INPUT_HANDLE: return 0;
    case STD_OUTPUT_HANDLE: return 1;
    case STD_ERROR_HANDLE: return 2;
    default: return -1;
    }
}

/* A handle for a duplicate of `descriptor`; NULL when it is closed. */
HANDLE InheritedHandle(int descriptor) {
    DescriptorGuard copy(fcntl(descriptor, F_DUPFD_CLOEXEC, 3));
    if (!copy) return nullptr;
    PipeEnd *end = new (std::nothrow) PipeEnd(copy.Get(), false);
    if (!end) return nullptr;
    copy.Release(); /* the pipe end's from here on */
    HANDLE handle = InsertHandle(end, false);
    if (!handle) ReleaseObject(end);
    return handle;
}

} // namespace

BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle) {
    int descriptor = StandardDescriptor(nStdHandle);
    if (descriptor < 0) return FailWith(ERROR_INVALID_HANDLE);
    ObjectReference reference(ReferenceHandle(hHandle, ObjectKind::Any));
    if (!reference || reference.get()->Descriptor() < 0) return FailWith(ERROR_INVALID_HANDLE);
    pthread_mutex_lock(&slotsLock);
    int moved = RetryOnInterrupt([&] { return dup2(reference.get()->Descriptor(), descriptor); });
    DWORD error = moved < 0 ? LastErrnoAsWin32() : 0;
    if (!error) slots[descriptor] = hHandle;
    pthread_mutex_unlock(&slotsLock);
    if (error) return FailWith(error);
    return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    int descriptor = StandardDescriptor(nStdHandle);
    if (descriptor < 0) return FailWithHandle(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
    pthread_mutex_lock(&slotsLock);
    if (!slots[descriptor]) slots[descriptor] = InheritedHandle(descriptor);
    HANDLE handle = slots[descriptor];
    pthread_mutex_unlock(&slotsLock);
    SetLastError(0);
    return handle;
}
