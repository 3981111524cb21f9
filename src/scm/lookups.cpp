#include <stddef.h>
#include "scm/scm.h"

char *FindServiceByDisplayName(const char *) { return NULL; }
char *QueryDisplayName(const char *) { return NULL; }
int QueryInteractiveFlag(void) { return 0; }
