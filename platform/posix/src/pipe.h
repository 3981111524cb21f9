/* Anonymous pipe ends and the other descriptor-backed streams that a child
 * process may inherit. */
#ifndef PELORIM_POSIX_PIPE_H
#define PELORIM_POSIX_PIPE_H

#include <vector>

#include "descriptor.h"
#include "handles.h"

#include <atomic>

/* One end of a pipe (anonymous, or the client end of a named pipe). Owns `fd`.
 * Every end is listed while it is open; CreateProcessA hands the inheritable
 * ones to a child that inherits handles. A pipe end has exactly one handle, so
 * its inheritability is kept here (SetHandleInformation changes it). */
struct PipeEnd : KernelObject {
    PipeEnd(int fd, bool inheritable);
    ~PipeEnd() override;
    int Descriptor() const override { return fd_; }
    DWORD Read(void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) override;
    DWORD Write(const void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) override;

    const int fd_;
    std::atomic<bool> inheritable;
};

/* A pipe, both ends close-on-exec (and `flags`, pipe2's), each in its guard:
 * 0 or the Win32 code. */
DWORD OpenPipeEnds(DescriptorGuard *readEnd, DescriptorGuard *writeEnd, int flags);

/* Writes all of `buffer` to `fd` with SIGPIPE held off for the calling thread:
 * a pipe without readers gives ERROR_NO_DATA instead of killing the process. */
DWORD WriteWithoutSigpipe(int fd, const void *buffer, DWORD size, DWORD *done);

/* Marks every descriptor from 3 up close-on-exec, so that an exec keeps only
 * the standard ones and those the caller clears the flag of afterwards. For a
 * forked child before its exec: async-signal-safe. Kernels before 5.11 lack
 * close_range's flag; there every descriptor below the open-files limit (at
 * most the first 65536) is marked one by one. */
void MarkDescriptorsCloseOnExec(void);
/* Closes every descriptor from `first` up, in the same way and as safely. */
void CloseDescriptorsFrom(int first);

/* While held, no pipe end closes (its descriptor stays what it is), so a child
 * forked meanwhile can keep exactly the inheritable ones. */
void LockInheritableDescriptors(void);
void UnlockInheritableDescriptors(void);
/* Call between Lock and Unlock. */
std::vector<int> InheritableDescriptors(void);

#endif
