#include <windows.h>

#include "errors.h"
#include "handles.h"

BOOL WINAPI CreateProcessA(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                           LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) {
    return FailWith(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI GetExitCodeProcess(HANDLE, LPDWORD) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
BOOL WINAPI TerminateProcess(HANDLE, UINT) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
