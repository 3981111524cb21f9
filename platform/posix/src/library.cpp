/*
 * Dynamic libraries. RTLD_LOCAL keeps a loaded Java runtime's symbols to
 * itself; it finds its own companion libraries through its RPATH.
 */
#include <dlfcn.h>

#include "errors.h"

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) return (HMODULE)FailWithHandle(ERROR_INVALID_PARAMETER);
    void *library = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
    if (!library) return (HMODULE)FailWithHandle(ERROR_MOD_NOT_FOUND);
    return (HMODULE)library;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!hModule || !lpProcName) {
        SetLastError(hModule ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym((void *)hModule, lpProcName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return (FARPROC)symbol;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!hLibModule) return FailWith(ERROR_INVALID_HANDLE);
    if (dlclose((void *)hLibModule) != 0) return FailWith(ERROR_INVALID_HANDLE);
    return TRUE;
}
