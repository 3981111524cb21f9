/* Files and the I/O calls shared by files and pipes. */
#ifndef PELORIM_WIN_FILE_H
#define PELORIM_WIN_FILE_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The right to read a file's attributes (its identity, size and links with
 * GetFileInformationByHandle), which GENERIC_WRITE does not give on Windows;
 * here every handle may read them. */
#define FILE_READ_ATTRIBUTES 0x00000080

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_FLAG_OVERLAPPED 0x40000000

#define FILE_TYPE_UNKNOWN 0x0000
#define FILE_TYPE_DISK 0x0001
#define FILE_TYPE_CHAR 0x0002
#define FILE_TYPE_PIPE 0x0003

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008

/* 100-nanosecond intervals since January 1, 1601 (UTC). */
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *PBY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     /* status of the operation: ERROR_IO_PENDING while it runs */
    ULONG_PTR InternalHigh; /* bytes transferred */
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

/* Dispositions and share modes as Win32; a second writer of a file opened with
 * FILE_SHARE_READ is refused with ERROR_SHARING_VIOLATION (32), across processes.
 * The open never waits: a FIFO that nobody reads (Windows has none; its
 * CreateFile never blocks) fails with ERROR_PIPE_NOT_CONNECTED (233). */
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod);
/* Files, anonymous pipes and named pipes. With lpOverlapped on a named pipe
 * opened FILE_FLAG_OVERLAPPED the read is asynchronous (ERROR_IO_PENDING). */
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
/* Renames a file or directory. A file that some open refuses to share for
 * deletion cannot be renamed (ERROR_SHARING_VIOLATION) nor replaced as the
 * target (ERROR_ACCESS_DENIED). An existing target without
 * MOVEFILE_REPLACE_EXISTING: ERROR_ALREADY_EXISTS; another file system:
 * ERROR_NOT_SAME_DEVICE (nothing is copied). */
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
/* FILE_TYPE_DISK for a file (or directory or block device), FILE_TYPE_CHAR for
 * a character device, FILE_TYPE_PIPE for pipes, FIFOs and sockets;
 * FILE_TYPE_UNKNOWN with ERROR_INVALID_HANDLE for a handle that is no I/O object. */
DWORD WINAPI GetFileType(HANDLE hFile);
/* A file's attributes, times, size, link count and identity: the volume
 * serial number is the device number's low 32 bits and the file index the
 * inode number. The creation time is that of the last status change. */
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
/* FILE_ATTRIBUTE_DIRECTORY for a directory, else FILE_ATTRIBUTE_NORMAL, with
 * FILE_ATTRIBUTE_READONLY added when nobody may write it; links are followed.
 * INVALID_FILE_ATTRIBUTES with 2 (or 3 under a path that is no directory)
 * when nothing is there. */
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
/* Ends the file at its current position (ftruncate). */
BOOL WINAPI SetEndOfFile(HANDLE hFile);

#define FILE_NAME_NORMALIZED 0x0
#define VOLUME_NAME_DOS 0x0

#ifdef __cplusplus
}
#endif

#endif
