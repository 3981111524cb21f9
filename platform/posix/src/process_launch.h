/* The start of a child process for CreateProcessA (process_launch.cpp). */
#ifndef PELORIM_POSIX_PROCESS_LAUNCH_H
#define PELORIM_POSIX_PROCESS_LAUNCH_H

#include <windows.h>
#include <sys/types.h>

/* CreateProcessA's arguments that shape the child. */
struct LaunchRequest {
    LPCSTR application;
    LPCSTR commandLine;
    bool inheritHandles;
    DWORD flags;
    LPVOID environment;
    LPCSTR directory;
    LPSTARTUPINFOA startup;
};

/* A child that runs (or, suspended, is held before its exec). */
struct LaunchedChild {
    pid_t pid = -1;
    int resultRead = -1;   /* read end of its exit-result pipe (exit_result.h); the caller closes it */
    int resumeWrite = -1;  /* lets a suspended child run, the caller closes it; -1 for one that runs */
    bool ownGroup = false; /* leads a process group of its own (new session, new group, or a shell) */
};

/* Forks and execs the child: 0, or the Win32 code of what failed, in the
 * parent or in the child before its exec (which has then ended and is reaped). */
DWORD LaunchChild(const LaunchRequest &request, LaunchedChild *launched);

#endif
