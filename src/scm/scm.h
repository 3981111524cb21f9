/* Service Control Manager operations. */
#ifndef PELORIM_SCM_H
#define PELORIM_SCM_H

#include <windows.h>

/* Creates the service and sets its preshutdown time-out from timeoutText. */
int CreateServiceEntry(void);
/* The preshutdown time-out for a service whose Timeout is `timeout`: the limit
 * of its whole stop, so that a system shutdown never cuts short a stop that
 * /stop would let finish. */
DWORD PreshutdownTimeoutFor(long long timeout);
int DeleteServiceEntry(void);
int UninstallService(void);
int StartServiceAndWait(void);
int StopServiceAndWait(void);

/* Owned key name (the caller frees it) or NULL. */
char *FindServiceByDisplayName(const char *wantedName);
/* Owned display name (the caller frees it) or NULL. */
char *QueryDisplayName(const char *serviceKeyName);
int QueryInteractiveFlag(void);

#endif
