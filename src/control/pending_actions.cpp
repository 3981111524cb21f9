/*
 * Stand-ins for the actions of modules that are not in the tree yet. They are
 * weak: the real definitions replace them at link time. Each refuses its
 * action with an error instead of pretending to succeed.
 */
#include "control/control.h"
#include "log/log.h"
#include "runtime/runtime.h"
#include "scm/scm.h"

#define PENDING __attribute__((weak))

static int NotAvailable(const char *action) {
    LogFormatted(LOG_ERROR, "%s is not available yet", action);
    return 9;
}

PENDING int InstallFromCommandLine(int, char **, char **) { return NotAvailable("/install"); }
PENDING int UninstallService(void) { return NotAvailable("/uninstall"); }
PENDING int StartServiceAndWait(void) { return NotAvailable("/start"); }
PENDING int StopServiceAndWait(void) { return NotAvailable("/stop"); }
PENDING int RunServiceDispatcher(void) { return NotAvailable("/service"); }
PENDING int RunSubprocess(int *) { return 0; }
PENDING char *FindServiceByDisplayName(const char *) { return nullptr; }
PENDING int QueryInteractiveFlag(void) { return 0; }
PENDING void InitializeServiceStatus(void) {}
