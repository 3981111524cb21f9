/*
 * A stand-in for a library that the JVM loads from its bin directory after it
 * has started (as java.dll or net.dll): built as bin\net.dll, importing the
 * stand-in vcruntime140.dll that jvm.dll imports too, and msvcp140.dll, which
 * jvm.dll does not import, so that only a search that still covers bin\ when
 * it is loaded finds it. A test fixture only.
 */
#include <windows.h>

#include <stdio.h>

#include "runtime.h"

/* Which copies of its C runtime the system bound this library to. */
extern "C" __declspec(dllexport) const char *StandinLibraryReport(void) {
    static char report[2 * MAX_PATH + 64];
    snprintf(report, sizeof report, "vcruntime140 %s, msvcp140 %s", StandinVcruntimePath(), StandinMsvcpPath());
    return report;
}
