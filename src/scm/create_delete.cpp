#include "scm/scm.h"

int CreateServiceEntry(void) { return 1; }
int DeleteServiceEntry(void) { return 1; }
int UninstallService(void) { return 9; }
