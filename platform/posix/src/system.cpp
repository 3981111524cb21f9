#include <windows.h>
#include "errors.h"

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
DWORD WINAPI GetModuleFileNameA(HMODULE, LPSTR, DWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL WINAPI SetEnvironmentVariableA(LPCSTR, LPCSTR) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
DWORD WINAPI GetEnvironmentVariableA(LPCSTR, LPSTR, DWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL WINAPI SetCurrentDirectoryA(LPCSTR) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
DWORD WINAPI GetCurrentDirectoryA(DWORD, LPSTR) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
void WINAPI GetLocalTime(LPSYSTEMTIME) {}
DWORD WINAPI GetTickCount(void) { return 0; }
int WINAPI GetDateFormatA(LCID, DWORD, const SYSTEMTIME *, LPCSTR, LPSTR, int) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
int WINAPI GetTimeFormatA(LCID, DWORD, const SYSTEMTIME *, LPCSTR, LPSTR, int) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
void WINAPI Sleep(DWORD) {}
BOOL WINAPI SetConsoleTitleA(LPCSTR) { return FailWith(ERROR_INVALID_HANDLE); }
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION) {}
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION) {}
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION) {}
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION) {}
