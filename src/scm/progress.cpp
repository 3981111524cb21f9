#include "scm/scm.h"

int StartServiceAndWait(void) { return 9; }
int StopServiceAndWait(void) { return 9; }
