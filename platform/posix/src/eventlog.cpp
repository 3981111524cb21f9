#include <windows.h>
#include "errors.h"

HANDLE WINAPI RegisterEventSourceA(LPCSTR, LPCSTR) { return FailWithHandle(ERROR_CALL_NOT_IMPLEMENTED); }
BOOL WINAPI ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR *, LPVOID) {
    return FailWith(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI DeregisterEventSource(HANDLE) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
