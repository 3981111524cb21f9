/* What /install refuses, or warns about, before anything is created. */
#ifndef PELORIM_INSTALL_CHECKS_H
#define PELORIM_INSTALL_CHECKS_H

#include "control/commandline.h"

/* 0 when the install may go on (a log file that cannot be written only gets
 * a warning); 8 after a message when an argument did not come through the
 * system's code page whole, when a switch's value was too long to keep
 * whole or to run (a shutdown command too long for its shell), or when the
 * service could never run: a service
 * name that the service controller or the service's own kernel objects cannot
 * carry, or a working directory that cannot be entered; 9 when the system
 * cannot make the service's kernel objects at all (a full disk). */
int CheckInstallRequest(const CommandLine *commandLine);

#endif
