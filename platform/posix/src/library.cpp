#include <windows.h>
#include "errors.h"

HMODULE WINAPI LoadLibraryA(LPCSTR) { return (HMODULE)FailWithHandle(ERROR_CALL_NOT_IMPLEMENTED); }
FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
BOOL WINAPI FreeLibrary(HMODULE) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
