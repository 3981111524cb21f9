/* What other parts of the layer may learn of a child that CreateProcessA started. */
#ifndef PELORIM_POSIX_CHILD_PROCESS_H
#define PELORIM_POSIX_CHILD_PROCESS_H

#include <windows.h>
#include <sys/types.h>

struct ChildIdentity {
    pid_t pid = -1;
    int pidfd = -1;          /* a close-on-exec duplicate that the caller closes; -1 without pidfds */
    bool leadsGroup = false; /* leads a process group of its own (new session, new group, shell) */
};

/* 0; ERROR_INVALID_HANDLE for anything but the process handle of a child;
 * ERROR_ACCESS_DENIED once the child has ended. */
DWORD IdentifyChildProcess(HANDLE process, ChildIdentity *identity);

#endif
