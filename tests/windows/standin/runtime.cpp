/*
 * A stand-in for one of the C runtime DLLs that a Java runtime keeps in its
 * bin directory (built as vcruntime140.dll and msvcp140.dll). A test fixture
 * only. It exports one function, named by STANDIN_RUNTIME_EXPORT, that gives
 * the path this copy was loaded from, so that a library importing it can say
 * which copy the system bound it to.
 */
#include <windows.h>

static char modulePath[MAX_PATH + 1];

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH && GetModuleFileNameA(instance, modulePath, MAX_PATH) == 0)
        lstrcpyA(modulePath, "(unknown)");
    return TRUE;
}

extern "C" __declspec(dllexport) const char *STANDIN_RUNTIME_EXPORT(void) { return modulePath; }
