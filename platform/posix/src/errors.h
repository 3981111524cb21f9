/*
 * Errors inside the layer. Internal functions return a Win32 error code
 * (0 for success); only the API entry points call SetLastError, through
 * FailWith / Succeed. errno becomes a Win32 code in exactly one table
 * (Win32ErrorFromErrno), and EINTR is retried in exactly one place
 * (RetryOnInterrupt).
 */
#ifndef PELORIM_POSIX_ERRORS_H
#define PELORIM_POSIX_ERRORS_H

#include <windows.h>
#include <errno.h>

DWORD Win32ErrorFromErrno(int error);

/* The Win32 code for the current errno. */
inline DWORD LastErrnoAsWin32() { return Win32ErrorFromErrno(errno); }
/* errno of a call that named `path`. Windows tells a file that is missing
 * (ERROR_FILE_NOT_FOUND) from a directory missing on the way to it
 * (ERROR_PATH_NOT_FOUND), where POSIX says ENOENT for both: the parent decides. */
DWORD PathErrorFromErrno(const char *path, int error);
inline DWORD LastPathErrnoAsWin32(const char *path) { return PathErrorFromErrno(path, errno); }

/* API edge helpers: set the last error and return the call's failure value. */
inline BOOL FailWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}
inline HANDLE FailWithHandle(DWORD code, HANDLE failure = nullptr) {
    SetLastError(code);
    return failure;
}

/* Runs a system call again while it fails with EINTR; returns its last result. */
template <class Call> auto RetryOnInterrupt(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

#endif
