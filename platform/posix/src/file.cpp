/*
 * Files, and ReadFile / WriteFile for every I/O object of the handle table.
 *
 * Share modes hold across all processes of one root. Each opened file has a
 * record <root>/files/<device>-<inode>; every open holds its own open file
 * description of the record with shared OFD locks on one byte per fact:
 * byte 0 it reads, 1 it writes, 2 it denies reading, 3 it denies writing,
 * 4 it denies deletion. A new open (under flock of the record) tests the
 * bytes that conflict with its wishes. The kernel drops the locks of a
 * process that dies, so a crashed holder blocks nobody. The last closer
 * removes the record; an opener that finds its record unlinked starts over.
 * Records are opened below a checked descriptor of files/, never through a
 * link (root.h): a record or files/ planted there fails the open with
 * ERROR_ACCESS_DENIED. Without a usable root, files open without share modes.
 */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>

#include "descriptor.h"
#include "errors.h"
#include "handles.h"
#include "named_pipe.h"
#include "root.h"

namespace {

enum ShareByte : off_t { kReads = 0, kWrites = 1, kDeniesRead = 2, kDeniesWrite = 3, kDeniesDelete = 4, kShareBytes = 5 };

bool WantsRead(DWORD access) { return (access & (GENERIC_READ | GENERIC_ALL)) != 0; }
bool WantsWrite(DWORD access) { return (access & (GENERIC_WRITE | GENERIC_ALL)) != 0; }

/* Whether another open file description holds a lock on `byte` of the record. */
bool ShareByteHeld(int recordFd, off_t byte) {
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = byte;
    probe.l_len = 1;
    if (fcntl(recordFd, F_OFD_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
}

DWORD HoldShareByte(int recordFd, off_t byte) {
    struct flock hold = {};
    hold.l_type = F_RDLCK;
    hold.l_whence = SEEK_SET;
    hold.l_start = byte;
    hold.l_len = 1;
    return fcntl(recordFd, F_OFD_SETLK, &hold) == 0 ? 0 : LastErrnoAsWin32();
}

const char kFilesDirectory[] = "files";

/* The name of a file's share record under files/. */
std::string ShareRecordName(dev_t device, ino_t inode) {
    char name[64];
    snprintf(name, sizeof name, "%llx-%llx", (unsigned long long)device, (unsigned long long)inode);
    return name;
}

/* Whether `name` in `directory` is still the record open on `fd`. */
bool StillRecord(int directory, const std::string &name, int fd) {
    struct stat opened, current;
    return fstat(fd, &opened) == 0 && fstatat(directory, name.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
           opened.st_ino == current.st_ino && opened.st_dev == current.st_dev;
}

/* Opens the share record of a file below files/ (never through a link) and
 * takes its flock: 0 with the descriptor held by *fd; ERROR_ACCESS_DENIED when
 * the record or files/ is refused as planted (root.h); another code when the
 * record is unavailable (no usable root, or no record and none to create).
 * On failure *fd holds nothing. */
DWORD LockShareRecord(const std::string &name, bool create, DescriptorGuard *fd) {
    DescriptorGuard directory;
    DWORD error = OpenRootDirectory(kFilesDirectory, create, directory.Out());
    if (error) return error;
    char directoryPath[PATH_MAX];
    MachinePath(directoryPath, sizeof directoryPath, kFilesDirectory);
    for (;;) {
        error = OpenCheckedFile(directory.Get(), directoryPath, name.c_str(), O_RDWR | (create ? O_CREAT : 0), 0600,
                                fd->Out());
        if (error) break;
        RetryOnInterrupt([&] { return flock(fd->Get(), LOCK_EX); });
        if (StillRecord(directory.Get(), name, fd->Get())) break;
        fd->Reset(); /* removed by its last closer meanwhile */
        error = ERROR_FILE_NOT_FOUND;
        if (!create) break;
    }
    return error;
}

/* Registers this open of the file: the record's descriptor (kept open for the
 * handle's life) in *recordFd, -1 when share modes cannot be kept; 0 or
 * ERROR_SHARING_VIOLATION. */
DWORD AcquireShare(const struct stat &file, DWORD access, DWORD share, int *recordFd) {
    *recordFd = -1;
    DescriptorGuard record;
    DWORD locked = LockShareRecord(ShareRecordName(file.st_dev, file.st_ino), true, &record);
    if (locked == ERROR_ACCESS_DENIED) return locked;
    if (locked) return 0;
    int fd = record.Get();
    bool conflict = (WantsRead(access) && ShareByteHeld(fd, kDeniesRead)) ||
                    (WantsWrite(access) && ShareByteHeld(fd, kDeniesWrite)) ||
                    (!(share & FILE_SHARE_READ) && ShareByteHeld(fd, kReads)) ||
                    (!(share & FILE_SHARE_WRITE) && ShareByteHeld(fd, kWrites));
    DWORD error = conflict ? (DWORD)ERROR_SHARING_VIOLATION : 0;
    if (!error && WantsRead(access)) error = HoldShareByte(fd, kReads);
    if (!error && WantsWrite(access)) error = HoldShareByte(fd, kWrites);
    if (!error && !(share & FILE_SHARE_READ)) error = HoldShareByte(fd, kDeniesRead);
    if (!error && !(share & FILE_SHARE_WRITE)) error = HoldShareByte(fd, kDeniesWrite);
    if (!error && !(share & FILE_SHARE_DELETE)) error = HoldShareByte(fd, kDeniesDelete);
    flock(fd, LOCK_UN);
    if (error) return error;
    *recordFd = record.Release();
    return 0;
}

/* Drops this open's locks; the last holder removes the record. */
void ReleaseShare(int recordFd, const std::string &name) {
    if (recordFd < 0) return;
    RetryOnInterrupt([&] { return flock(recordFd, LOCK_EX); });
    struct flock release = {};
    release.l_type = F_UNLCK;
    release.l_whence = SEEK_SET;
    fcntl(recordFd, F_OFD_SETLK, &release);
    bool held = false;
    for (off_t byte = 0; byte < kShareBytes && !held; byte++) held = ShareByteHeld(recordFd, byte);
    if (!held) {
        DescriptorGuard directory;
        if (OpenRootDirectory(kFilesDirectory, false, directory.Out()) == 0 && StillRecord(directory.Get(), name, recordFd))
            unlinkat(directory.Get(), name.c_str(), 0);
    }
    close(recordFd);
}

struct FileObject : KernelObject {
    FileObject(int fd, int recordFd, std::string recordName)
        : KernelObject(ObjectKind::File), fd_(fd), recordFd_(recordFd), recordName_(std::move(recordName)) {}
    ~FileObject() override {
        close(fd_);
        ReleaseShare(recordFd_, recordName_);
    }
    int Descriptor() const override { return fd_; }
    DWORD Read(void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) override;
    DWORD Write(const void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) override;

  private:
    const int fd_;
    const int recordFd_;
    const std::string recordName_;
};

off_t OverlappedOffset(const OVERLAPPED *overlapped) {
    return (off_t)(((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset);
}

/* A handle opened without the needed access fails with EBADF; Win32 says 5. */
DWORD IoError() { return errno == EBADF ? (DWORD)ERROR_ACCESS_DENIED : LastErrnoAsWin32(); }

/* Reads until `size` bytes or end of file; end of file is success with fewer
 * bytes. With an OVERLAPPED the read is at its offset, synchronously. */
DWORD FileObject::Read(void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) {
    DWORD total = 0;
    while (total < size) {
        char *at = (char *)buffer + total;
        ssize_t n = overlapped
                        ? RetryOnInterrupt([&] { return pread(fd_, at, size - total, OverlappedOffset(overlapped) + total); })
                        : RetryOnInterrupt([&] { return read(fd_, at, size - total); });
        if (n < 0) return IoError();
        if (n == 0) break;
        total += (DWORD)n;
    }
    *done = total;
    if (overlapped) overlapped->Internal = 0, overlapped->InternalHigh = total;
    return 0;
}

/* Offset and OffsetHigh both 0xFFFFFFFF ask Win32 to write at the end of the
 * file as it is at the moment of the write, as an append-only handle does. */
bool WritesAtEnd(const OVERLAPPED *overlapped) {
    return overlapped && overlapped->Offset == 0xFFFFFFFFu && overlapped->OffsetHigh == 0xFFFFFFFFu;
}

/* Appends at the end of the file in the one system call, so that nothing done
 * to the file meanwhile (a truncation) can leave a hole before the data; the
 * file pointer ends after it. A device, which has no end to write at, and a
 * kernel before 4.16, which has no append per write, get a plain write (after
 * a seek to the end where there is one). */
ssize_t AppendAtEnd(int fd, const char *at, size_t size) {
    struct iovec piece = {const_cast<char *>(at), size};
    ssize_t n = pwritev2(fd, &piece, 1, -1, RWF_APPEND);
    if (n >= 0 || (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)) return n;
    if (lseek(fd, 0, SEEK_END) < 0 && errno != ESPIPE) return -1;
    return write(fd, at, size);
}

DWORD FileObject::Write(const void *buffer, DWORD size, DWORD *done, OVERLAPPED *overlapped) {
    DWORD total = 0;
    bool atEnd = WritesAtEnd(overlapped);
    while (total < size) {
        const char *at = (const char *)buffer + total;
        ssize_t n = atEnd        ? RetryOnInterrupt([&] { return AppendAtEnd(fd_, at, size - total); })
                    : overlapped ? RetryOnInterrupt([&] { return pwrite(fd_, at, size - total, OverlappedOffset(overlapped) + total); })
                                 : RetryOnInterrupt([&] { return write(fd_, at, size - total); });
        if (n < 0) {
            *done = total;
            return IoError();
        }
        total += (DWORD)n;
    }
    *done = total;
    if (overlapped) overlapped->Internal = 0, overlapped->InternalHigh = total;
    return 0;
}

int OpenFlagsFor(DWORD access) {
    if (WantsRead(access) && WantsWrite(access)) return O_RDWR;
    return WantsWrite(access) ? O_WRONLY : O_RDONLY;
}

/* Opens (or creates) the file for `disposition` without truncating it;
 * *existed tells whether it was there before. A descriptor, or -1 with *error.
 * The open never waits (O_NONBLOCK): that of a FIFO for writing would wait
 * for a reader, and Win32's CreateFile never waits. CreateFileA makes the
 * descriptor blocking again, as a handle without FILE_FLAG_OVERLAPPED is. */
int OpenForDisposition(const char *path, int flags, DWORD disposition, mode_t mode, bool *existed, DWORD *error) {
    flags |= O_CLOEXEC | O_NONBLOCK;
    int fd = -1;
    *existed = true;
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        fd = RetryOnInterrupt([&] { return open(path, flags); });
    } else {
        fd = RetryOnInterrupt([&] { return open(path, flags | O_CREAT | O_EXCL, mode); });
        *existed = fd < 0 && errno == EEXIST;
        if (*existed && disposition != CREATE_NEW) fd = RetryOnInterrupt([&] { return open(path, flags); });
    }
    if (fd < 0) *error = LastPathErrnoAsWin32(path);
    return fd;
}

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)hTemplateFile;
    if (!lpFileName) return FailWithHandle(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (!*lpFileName) return FailWithHandle(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
        (dwCreationDisposition == TRUNCATE_EXISTING && !WantsWrite(dwDesiredAccess)))
        return FailWithHandle(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    bool inheritable = lpSecurityAttributes && lpSecurityAttributes->bInheritHandle;
    if (IsNamedPipeName(lpFileName)) {
        DWORD error = 0;
        HANDLE pipe = OpenNamedPipeClient(lpFileName, dwDesiredAccess, &error);
        if (!pipe) return FailWithHandle(error, INVALID_HANDLE_VALUE);
        SetLastError(0);
        return pipe;
    }
    mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    bool existed = false;
    DWORD error = 0;
    DescriptorGuard opened(
        OpenForDisposition(lpFileName, OpenFlagsFor(dwDesiredAccess), dwCreationDisposition, mode, &existed, &error));
    if (!opened) return FailWithHandle(error, INVALID_HANDLE_VALUE);
    int fd = opened.Get();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat st = {};
    int recordFd = -1;
    if (fstat(fd, &st) != 0) error = LastErrnoAsWin32();
    else if (S_ISDIR(st.st_mode)) error = ERROR_ACCESS_DENIED;
    else error = AcquireShare(st, dwDesiredAccess, dwShareMode, &recordFd);
    bool truncate = dwCreationDisposition == TRUNCATE_EXISTING || (dwCreationDisposition == CREATE_ALWAYS && existed);
    if (!error && truncate && S_ISREG(st.st_mode) && RetryOnInterrupt([&] { return ftruncate(fd, 0); }) != 0)
        error = IoError();
    std::string recordName = ShareRecordName(st.st_dev, st.st_ino);
    if (error) {
        ReleaseShare(recordFd, recordName);
        return FailWithHandle(error, INVALID_HANDLE_VALUE);
    }
    FileObject *file = new FileObject(opened.Release(), recordFd, recordName);
    HANDLE handle = InsertHandle(file, inheritable);
    if (!handle) {
        ReleaseObject(file);
        return FailWithHandle(ERROR_NO_SYSTEM_RESOURCES, INVALID_HANDLE_VALUE);
    }
    bool reportExisting = existed && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : 0);
    return handle;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    ObjectReference reference(ReferenceHandle(hFile, ObjectKind::File));
    DWORD error = 0;
    int64_t distance = lpDistanceToMoveHigh
                           ? (int64_t)(((uint64_t)(uint32_t)*lpDistanceToMoveHigh << 32) | (uint32_t)lDistanceToMove)
                           : (int64_t)lDistanceToMove;
    int64_t origin = 0, target = 0;
    if (!reference) error = ERROR_INVALID_HANDLE;
    else if (dwMoveMethod > FILE_END) error = ERROR_INVALID_PARAMETER;
    int fd = reference ? reference.get()->Descriptor() : -1;
    if (!error && dwMoveMethod != FILE_BEGIN) {
        origin = lseek(fd, 0, dwMoveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_END);
        if (origin < 0) error = LastErrnoAsWin32();
    }
    target = origin + distance;
    if (!error && target < 0) error = ERROR_NEGATIVE_SEEK;
    if (!error && !lpDistanceToMoveHigh && target >= (int64_t)INVALID_SET_FILE_POINTER) error = ERROR_INVALID_PARAMETER;
    if (!error && lseek(fd, (off_t)target, SEEK_SET) < 0) error = LastErrnoAsWin32();
    if (error) {
        SetLastError(error);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = (LONG)(target >> 32);
    SetLastError(0);
    return (DWORD)(target & 0xFFFFFFFFu);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (!lpNumberOfBytesRead && !lpOverlapped) return FailWith(ERROR_INVALID_PARAMETER);
    ObjectReference reference(ReferenceHandle(hFile, ObjectKind::Any));
    if (!reference) return FailWith(ERROR_INVALID_HANDLE);
    DWORD done = 0;
    DWORD error = reference.get()->Read(lpBuffer, nNumberOfBytesToRead, &done, lpOverlapped);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    if (error) return FailWith(error);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (!lpNumberOfBytesWritten && !lpOverlapped) return FailWith(ERROR_INVALID_PARAMETER);
    ObjectReference reference(ReferenceHandle(hFile, ObjectKind::Any));
    if (!reference) return FailWith(ERROR_INVALID_HANDLE);
    DWORD done = 0;
    DWORD error = reference.get()->Write(lpBuffer, nNumberOfBytesToWrite, &done, lpOverlapped);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    if (error) return FailWith(error);
    return TRUE;
}

/* A file that some open refuses to share for deletion is not removed
 * (ERROR_SHARING_VIOLATION), as on Win32. */
BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (!lpFileName) return FailWith(ERROR_INVALID_PARAMETER);
    if (!*lpFileName) return FailWith(ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (lstat(lpFileName, &st) != 0) return FailWith(LastPathErrnoAsWin32(lpFileName));
    if (S_ISDIR(st.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    DescriptorGuard record; /* its flock held until the name is gone */
    DWORD locked = LockShareRecord(ShareRecordName(st.st_dev, st.st_ino), false, &record);
    bool denied = record && ShareByteHeld(record.Get(), kDeniesDelete);
    DWORD error = locked == ERROR_ACCESS_DENIED ? locked : denied ? (DWORD)ERROR_SHARING_VIOLATION : 0;
    if (!error && unlink(lpFileName) != 0) error = LastErrnoAsWin32();
    if (error) return FailWith(error);
    return TRUE;
}

/* Whether the share record of the file at `path` (lstat in *st) has an open
 * that refuses to share deletion: 0, ERROR_SHARING_VIOLATION, or
 * ERROR_ACCESS_DENIED for a record refused as planted. The record's flock is
 * held by *record (empty without one) until the caller's guard closes it, so
 * that no such open comes between the test and the caller's change of the name. */
static DWORD TestDeleteShare(const struct stat &st, DescriptorGuard *record) {
    record->Reset();
    if (S_ISDIR(st.st_mode)) return 0;
    DWORD locked = LockShareRecord(ShareRecordName(st.st_dev, st.st_ino), false, record);
    if (locked == ERROR_ACCESS_DENIED) return locked;
    return *record && ShareByteHeld(record->Get(), kDeniesDelete) ? (DWORD)ERROR_SHARING_VIOLATION : 0;
}

/* renameat2 with RENAME_NOREPLACE where the file system has it; elsewhere the
 * target was found absent just before, and a plain rename follows. */
static int RenameWithoutReplacing(const char *from, const char *to) {
    int done = renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (done == 0 || (errno != EINVAL && errno != ENOSYS)) return done;
    return rename(from, to);
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!lpExistingFileName || !lpNewFileName ||
        (dwFlags & ~(DWORD)(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)))
        return FailWith(ERROR_INVALID_PARAMETER);
    if (!*lpExistingFileName || !*lpNewFileName) return FailWith(ERROR_PATH_NOT_FOUND);
    struct stat source, target;
    if (lstat(lpExistingFileName, &source) != 0) return FailWith(LastPathErrnoAsWin32(lpExistingFileName));
    bool replacing = lstat(lpNewFileName, &target) == 0;
    if (replacing && !(dwFlags & MOVEFILE_REPLACE_EXISTING)) return FailWith(ERROR_ALREADY_EXISTS);
    if (replacing && S_ISDIR(target.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    DescriptorGuard sourceRecord, targetRecord;
    DWORD error = TestDeleteShare(source, &sourceRecord);
    if (!error && replacing && (source.st_dev != target.st_dev || source.st_ino != target.st_ino) &&
        TestDeleteShare(target, &targetRecord) != 0)
        error = ERROR_ACCESS_DENIED;
    if (!error) {
        int moved = replacing ? rename(lpExistingFileName, lpNewFileName)
                              : RenameWithoutReplacing(lpExistingFileName, lpNewFileName);
        if (moved != 0) error = errno == EEXIST ? (DWORD)ERROR_ALREADY_EXISTS : LastErrnoAsWin32();
    }
    if (error) return FailWith(error);
    return TRUE;
}

DWORD WINAPI GetFileType(HANDLE hFile) {
    ObjectReference reference(ReferenceHandle(hFile, ObjectKind::Any));
    KernelObject *object = reference.get();
    DWORD type = FILE_TYPE_UNKNOWN;
    struct stat st;
    if (object && object->kind == ObjectKind::NamedPipe) type = FILE_TYPE_PIPE;
    else if (object && object->Descriptor() >= 0 && fstat(object->Descriptor(), &st) == 0)
        type = S_ISCHR(st.st_mode) ? FILE_TYPE_CHAR
               : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? FILE_TYPE_PIPE
                                                               : FILE_TYPE_DISK;
    SetLastError(type == FILE_TYPE_UNKNOWN ? ERROR_INVALID_HANDLE : NO_ERROR);
    return type;
}

static FILETIME AsFileTime(const struct timespec &time) {
    /* Seconds from 1601 to 1970. */
    uint64_t ticks = ((uint64_t)time.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)time.tv_nsec / 100;
    FILETIME result = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    return result;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    if (!lpFileInformation) return FailWith(ERROR_INVALID_PARAMETER);
    ObjectReference reference(ReferenceHandle(hFile, ObjectKind::File));
    if (!reference) return FailWith(ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstat(reference.get()->Descriptor(), &st) != 0) return FailWith(LastErrnoAsWin32());
    BY_HANDLE_FILE_INFORMATION &info = *lpFileInformation;
    info.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if ((st.st_mode & 0222) == 0) info.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (info.dwFileAttributes == 0) info.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    info.ftCreationTime = AsFileTime(st.st_ctim);
    info.ftLastAccessTime = AsFileTime(st.st_atim);
    info.ftLastWriteTime = AsFileTime(st.st_mtim);
    info.dwVolumeSerialNumber = (DWORD)st.st_dev;
    info.nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
    info.nFileSizeLow = (DWORD)st.st_size;
    info.nNumberOfLinks = (DWORD)st.st_nlink;
    info.nFileIndexHigh = (DWORD)((uint64_t)st.st_ino >> 32);
    info.nFileIndexLow = (DWORD)st.st_ino;
    SetLastError(0);
    return TRUE;
}

static DWORD FailAttributes(DWORD code) {
    SetLastError(code);
    return INVALID_FILE_ATTRIBUTES;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (!lpFileName) return FailAttributes(ERROR_INVALID_PARAMETER);
    if (!*lpFileName) return FailAttributes(ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (stat(lpFileName, &st) != 0) return FailAttributes(LastPathErrnoAsWin32(lpFileName));
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if ((st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : (DWORD)FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    ObjectReference reference(ReferenceHandle(hFile, ObjectKind::File));
    if (!reference) return FailWith(ERROR_INVALID_HANDLE);
    int fd = reference.get()->Descriptor();
    off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0) return FailWith(LastErrnoAsWin32());
    if (RetryOnInterrupt([&] { return ftruncate(fd, position); }) != 0) return FailWith(IoError());
    return TRUE;
}
