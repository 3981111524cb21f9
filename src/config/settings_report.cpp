#include "config/params.h"

void ReportInstalledSettings(void) {}
