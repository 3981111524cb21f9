/* Version, module path, environment, current directory, time, critical sections. */
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "errors.h"
#include "root.h"

/* Reported as Windows 7 (6.1), build 7601: an NT system. */
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (!lpVersionInformation) return FailWith(ERROR_INVALID_PARAMETER);
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 1;
    lpVersionInformation->dwBuildNumber = 7601;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = '\0';
    return TRUE;
}

/* Copies `text` as Win32's "fill a caller's buffer, else say how much is
 * needed" calls do: the length without the NUL on success, else the size
 * needed with the NUL. */
static DWORD CopyOrNeed(const std::string &text, LPSTR buffer, DWORD size) {
    if (!buffer || text.size() + 1 > size) return (DWORD)text.size() + 1;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return (DWORD)text.size();
}

/* The executable's path in full: readlink cuts silently, so the buffer grows
 * until the link fits. A path the kernel cannot give (longer than PATH_MAX)
 * fails with ERROR_FILENAME_EXCED_RANGE. */
static DWORD ReadExecutablePath(std::string *path) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", &buffer[0], buffer.size());
        if (length < 0) return LastErrnoAsWin32();
        if ((size_t)length < buffer.size()) {
            path->assign(buffer.data(), (size_t)length);
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
}

/* Win32 cuts here instead of saying how much is needed: the buffer gets what
 * fits plus a NUL, the result is nSize, and the last error
 * ERROR_INSUFFICIENT_BUFFER. */
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string path;
    DWORD error = ReadExecutablePath(&path);
    if (error) {
        SetLastError(error);
        return 0;
    }
    if (nSize == 0 || !lpFilename) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() + 1 > nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(0);
    return (DWORD)path.size();
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (!lpName || !*lpName || strchr(lpName, '=')) return FailWith(ERROR_INVALID_PARAMETER);
    /* The root a process runs in is the one it started with, never one taken
     * from stored values: a stored environment names the root of the install
     * (relative, or absolute where the root has since been moved), and a child
     * given it would set up another machine there. Children get this
     * process's own root, whatever is asked. */
    if (strcmp(lpName, "PELORIM_ROOT") == 0) lpValue = MachineRoot();
    int result = lpValue ? setenv(lpName, lpValue, 1) : unsetenv(lpName);
    if (result != 0) return FailWith(LastErrnoAsWin32());
    return TRUE;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    const char *value = lpName ? getenv(lpName) : nullptr;
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return CopyOrNeed(value, lpBuffer, nSize);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
    if (!lpPathName) return FailWith(ERROR_INVALID_PARAMETER);
    if (!*lpPathName) return FailWith(ERROR_PATH_NOT_FOUND);
    if (chdir(lpPathName) != 0) {
        /* Win32 says "directory name is invalid" for a file, not "not found". */
        return FailWith(errno == ENOTDIR ? (DWORD)ERROR_DIRECTORY : LastPathErrnoAsWin32(lpPathName));
    }
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    char path[PATH_MAX];
    if (!getcwd(path, sizeof path)) {
        SetLastError(LastErrnoAsWin32());
        return 0;
    }
    return CopyOrNeed(path, lpBuffer, nBufferLength);
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    lpSystemTime->wYear = (WORD)(local.tm_year + 1900);
    lpSystemTime->wMonth = (WORD)(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = (WORD)local.tm_wday;
    lpSystemTime->wDay = (WORD)local.tm_mday;
    lpSystemTime->wHour = (WORD)local.tm_hour;
    lpSystemTime->wMinute = (WORD)local.tm_min;
    lpSystemTime->wSecond = (WORD)local.tm_sec;
    lpSystemTime->wMilliseconds = (WORD)(now.tv_nsec / 1000000);
}

/* Milliseconds since boot, wrapping after 49.7 days as Win32's does. */
DWORD WINAPI GetTickCount(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (DWORD)((uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u);
}

namespace {

const char *const monthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                  "July",    "August",   "September", "October", "November", "December"};
const char *const dayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

/* The day of the week of a date (Sakamoto's method), 0 = Sunday. */
int DayOfWeek(int year, int month, int day) {
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
}

/* `value` with leading zeros to `width` digits (pictures use widths 1 to 4). */
std::string Number(int value, int width) {
    std::string text = std::to_string(value);
    if ((int)text.size() < width) text.insert(0, (size_t)(width - (int)text.size()), '0');
    return text;
}

/* One picture element: `letter` repeated `count` times. */
std::string Element(char letter, int count, const SYSTEMTIME &t) {
    switch (letter) {
    case 'd':
        if (count <= 2) return Number(t.wDay, count);
        if (count == 3) return std::string(dayNames[DayOfWeek(t.wYear, t.wMonth, t.wDay)], 3);
        return dayNames[DayOfWeek(t.wYear, t.wMonth, t.wDay)];
    case 'M':
        if (count <= 2) return Number(t.wMonth, count);
        if (count == 3) return std::string(monthNames[t.wMonth - 1], 3);
        return monthNames[t.wMonth - 1];
    case 'y':
        if (count <= 2) return Number(t.wYear % 100, count);
        return Number(t.wYear, 4);
    case 'g': return "A.D.";
    case 'h': return Number(t.wHour % 12 == 0 ? 12 : t.wHour % 12, count > 2 ? 2 : count);
    case 'H': return Number(t.wHour, count > 2 ? 2 : count);
    case 'm': return Number(t.wMinute, count > 2 ? 2 : count);
    case 's': return Number(t.wSecond, count > 2 ? 2 : count);
    case 't': return count == 1 ? std::string(t.wHour < 12 ? "A" : "P") : std::string(t.wHour < 12 ? "AM" : "PM");
    default: return std::string((size_t)count, letter);
    }
}

/* Expands a date or time picture. `letters` are the elements the call knows;
 * other characters are copied, and '...' quotes literals ('' is a quote). */
std::string ExpandPicture(const char *picture, const char *letters, const SYSTEMTIME &t) {
    std::string out;
    for (const char *p = picture; *p;) {
        if (*p == '\'') {
            p++;
            while (*p) {
                if (*p == '\'' && p[1] == '\'') {
                    out += '\'';
                    p += 2;
                } else if (*p == '\'') {
                    p++;
                    break;
                } else {
                    out += *p++;
                }
            }
            continue;
        }
        if (!strchr(letters, *p)) {
            out += *p++;
            continue;
        }
        char letter = *p;
        int count = 0;
        while (*p == letter) p++, count++;
        out += Element(letter, count, t);
    }
    return out;
}

bool ValidDate(const SYSTEMTIME &t) {
    return t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 && t.wDay <= 31 && t.wYear >= 1601 && t.wYear <= 30827;
}

bool ValidTime(const SYSTEMTIME &t) { return t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60; }

/* Win32's result convention: characters written with the NUL; with a zero
 * size, the size needed; 0 and ERROR_INSUFFICIENT_BUFFER when it does not fit. */
int DeliverFormatted(const std::string &text, LPSTR out, int size) {
    int needed = (int)text.size() + 1;
    if (size == 0) return needed;
    if (!out || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, text.c_str(), (size_t)needed);
    return needed;
}

} // namespace

/* Only an explicit picture is supported (no locale default formats). */
int WINAPI GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpDate, LPCSTR lpFormat, LPSTR lpDateStr,
                          int cchDate) {
    (void)Locale, (void)dwFlags;
    if (!lpFormat || cchDate < 0 || (cchDate > 0 && !lpDateStr)) {
        SetLastError(lpFormat ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME now;
    if (!lpDate) GetLocalTime(&now);
    const SYSTEMTIME &date = lpDate ? *lpDate : now;
    if (!ValidDate(date)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return DeliverFormatted(ExpandPicture(lpFormat, "dMyg", date), lpDateStr, cchDate);
}

int WINAPI GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpTime, LPCSTR lpFormat, LPSTR lpTimeStr,
                          int cchTime) {
    (void)Locale, (void)dwFlags;
    if (!lpFormat || cchTime < 0 || (cchTime > 0 && !lpTimeStr)) {
        SetLastError(lpFormat ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME now;
    if (!lpTime) GetLocalTime(&now);
    const SYSTEMTIME &time = lpTime ? *lpTime : now;
    if (!ValidTime(time)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return DeliverFormatted(ExpandPicture(lpFormat, "hHmst", time), lpTimeStr, cchTime);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    struct timespec request = {(time_t)(dwMilliseconds / 1000), (long)(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION) &&
                  alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION cannot hold a mutex");

static pthread_mutex_t *MutexOf(LPCRITICAL_SECTION section) {
    return reinterpret_cast<pthread_mutex_t *>(section->opaque);
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(lpCriticalSection), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

UINT WINAPI GetACP(void) { return CP_UTF8; }
