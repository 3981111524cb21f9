/* Version, module, environment, directory, time formatting, console, libraries, locks. */
#ifndef PELORIM_WIN_SYSTEM_H
#define PELORIM_WIN_SYSTEM_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;
typedef OSVERSIONINFOA OSVERSIONINFO;

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

/* hModule must be NULL (the running executable). */
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName);
DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
DWORD WINAPI GetTickCount(void);
/* Pictures as Win32 defines them; month and day names are English. */
int WINAPI GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpDate, LPCSTR lpFormat,
                          LPSTR lpDateStr, int cchDate);
int WINAPI GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpTime, LPCSTR lpFormat,
                          LPSTR lpTimeStr, int cchTime);

void WINAPI Sleep(DWORD dwMilliseconds);

/* The code page of the ANSI entry points. The layer passes their text through
 * to the system unchanged, and Linux names, paths and terminals take UTF-8:
 * CP_UTF8, as on Windows with a UTF-8 active code page. */
#define CP_ACP 0
#define CP_UTF8 65001
UINT WINAPI GetACP(void);

/* The process's standard handles are its descriptors 0, 1 and 2: what every
 * library of the process (the C runtime of a runtime library loaded later
 * included) writes to. SetStdHandle points the descriptor at the handle's
 * object (dup2), so on this system it also redirects C streams that are
 * already in use, which on Windows keep what they took at their start-up; the
 * handle stays the caller's to close, and the descriptor stays open after it.
 * GetStdHandle returns the handle last set, else a handle of the process's own
 * for the descriptor it started with (NULL when that is closed). An nStdHandle
 * other than the three: ERROR_INVALID_HANDLE; SetStdHandle of a handle that is
 * no I/O object: ERROR_INVALID_HANDLE. */
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
HANDLE WINAPI GetStdHandle(DWORD nStdHandle);
BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle);

/* Console. A process without a controlling terminal (a detached or service
 * process) has no console until AllocConsole gives it one, which keeps its
 * title in the process; without either, SetConsoleTitleA fails with
 * ERROR_INVALID_HANDLE. AllocConsole fails with ERROR_ACCESS_DENIED when the
 * process already has a console. */
BOOL WINAPI SetConsoleTitleA(LPCSTR lpConsoleTitle);
BOOL WINAPI AllocConsole(void);

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6
typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD dwCtrlType);
/* Signals map to events: SIGINT to CTRL_C_EVENT, SIGQUIT to CTRL_BREAK_EVENT,
 * SIGHUP to CTRL_CLOSE_EVENT, SIGTERM to CTRL_SHUTDOWN_EVENT. Handlers run on a
 * thread of the layer's own, newest first; an event every handler declines goes
 * to the disposition that was installed before the first handler (the JVM's). */
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);

/* Processes and priority. */
#define IDLE_PRIORITY_CLASS 0x00000040
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000
#define NORMAL_PRIORITY_CLASS 0x00000020
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000
#define HIGH_PRIORITY_CLASS 0x00000080
#define REALTIME_PRIORITY_CLASS 0x00000100

HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);
BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass);
DWORD WINAPI GetPriorityClass(HANDLE hProcess);
__attribute__((noreturn)) void WINAPI ExitProcess(UINT uExitCode);

/* Dynamic libraries: dlopen/dlsym/dlclose; 193 for a file that is no library
 * of this process's kind, 126 for a missing file or dependency, 127 for a
 * missing symbol. A bare name (no '/') is looked for first in the directory of
 * SetDllDirectoryA, then as the dynamic linker looks for it. */
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
/* Replaces the directory that later LoadLibraryA calls search for a bare name;
 * NULL or "" leaves none (the current directory is never searched here). The
 * libraries a loaded library needs are found as the dynamic linker finds them
 * (its run path, LD_LIBRARY_PATH as the process started, the system's
 * directories), whatever this directory is: the call cannot change that. */
BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

/* Re-entrant in-process lock. */
typedef struct _CRITICAL_SECTION {
    unsigned char opaque[64] __attribute__((aligned(16)));
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

#ifdef __cplusplus
}
#endif

#endif
