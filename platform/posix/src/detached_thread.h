/* The layer's own helper threads (pipe I/O, child watchers, console events):
 * detached pthreads that nothing joins. */
#ifndef PELORIM_POSIX_DETACHED_THREAD_H
#define PELORIM_POSIX_DETACHED_THREAD_H

#include <windows.h>
#include <stddef.h>

/* Starts `routine(argument)` on a detached thread; a stackSize of 0 keeps the
 * default. 0, or the Win32 code of the failure (the caller still owns
 * `argument` then). */
DWORD StartDetachedThread(void *(*routine)(void *), void *argument, size_t stackSize);

#endif
