/* The console events of a service process (console.cpp), for its dispatcher. */
#ifndef PELORIM_POSIX_CONSOLE_CLAIM_H
#define PELORIM_POSIX_CONSOLE_CLAIM_H

#include <windows.h>

/* From now on SIGTERM, the system's shutdown, goes to `shutdown` (on a thread
 * of its own, never to the console handlers), and an event that every handler
 * declines is dropped where its signal's default action would end the process:
 * a service has no console of its own whose events could end it. Installs the
 * signal delivery when no SetConsoleCtrlHandler has. 0 or a Win32 code. */
DWORD ClaimConsoleEventsForService(void (*shutdown)(void));
/* The dispatcher has returned: the events are the console's again. */
void ReleaseConsoleEventsOfService(void);

/* Ends the process by SIGTERM's default action, from any thread. */
[[noreturn]] void EndProcessBySystemShutdown(void);

#endif
