#include "errors.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

static thread_local DWORD lastError = 0;

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

/* The one errno table of the layer. EEXIST becomes ERROR_FILE_EXISTS (80), the
 * code of CreateFileA with CREATE_NEW; a call that Win32 documents with
 * ERROR_ALREADY_EXISTS (183) says so itself. EPIPE becomes ERROR_NO_DATA (232),
 * what Win32 reports for a write to a pipe whose reader has gone; a read that
 * finds the writer gone is ERROR_BROKEN_PIPE (109) and comes from end-of-file,
 * not from an errno. */
DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_NO_DATA;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EAGAIN: return ERROR_NO_SYSTEM_RESOURCES;
    case EBUSY: return ERROR_BUSY;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ESPIPE: return ERROR_SEEK;
    case EIO: return ERROR_GEN_FAILURE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECHILD: return ERROR_WAIT_NO_CHILDREN;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case E2BIG: return ERROR_BAD_LENGTH;
    case EFAULT: return ERROR_NOACCESS;
    case ENXIO: return ERROR_PIPE_NOT_CONNECTED;
    case ESRCH: return ERROR_INVALID_HANDLE;
    case ECONNREFUSED: return ERROR_PIPE_NOT_CONNECTED;
    case ECONNRESET: return ERROR_BROKEN_PIPE;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EDEADLK: return ERROR_LOCK_VIOLATION;
    case ECANCELED: return ERROR_OPERATION_ABORTED;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD PathErrorFromErrno(const char *path, int error) {
    if (error != ENOENT) return Win32ErrorFromErrno(error);
    const char *slash = strrchr(path, '/');
    if (slash == nullptr || slash == path) return ERROR_FILE_NOT_FOUND;
    std::string parent(path, (size_t)(slash - path));
    struct stat status;
    return stat(parent.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? (DWORD)ERROR_FILE_NOT_FOUND
                                                                         : (DWORD)ERROR_PATH_NOT_FOUND;
}

struct MessageText {
    DWORD code;
    const char *text;
};

/* Each text is this layer's own wording, ending in "\r\n" as Win32's do. */
static const MessageText messageTexts[] = {
    {ERROR_SUCCESS, "The call succeeded."},
    {ERROR_INVALID_FUNCTION, "The function is not valid for this object."},
    {ERROR_FILE_NOT_FOUND, "No file or entry of that name was found."},
    {ERROR_PATH_NOT_FOUND, "A directory on the path does not exist."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many files are open."},
    {ERROR_ACCESS_DENIED, "Permission to do this was refused."},
    {ERROR_INVALID_HANDLE, "The handle is not open or not of the right kind."},
    {ERROR_NOT_ENOUGH_MEMORY, "Memory ran out while running this command."},
    {ERROR_BAD_FORMAT, "The program image has a format that cannot be used."},
    {ERROR_INVALID_ACCESS, "The requested access is not valid."},
    {ERROR_INVALID_DATA, "The data is not valid."},
    {ERROR_OUTOFMEMORY, "Not enough memory was left to finish the operation."},
    {ERROR_CURRENT_DIRECTORY, "The current directory cannot be removed."},
    {ERROR_NOT_SAME_DEVICE, "The file cannot be moved to another disk."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_LENGTH, "A length given to the call is wrong."},
    {ERROR_SEEK, "The file position cannot be moved on this object."},
    {ERROR_WRITE_FAULT, "Writing to the device failed."},
    {ERROR_READ_FAULT, "Reading from the device failed."},
    {ERROR_GEN_FAILURE, "The device or system reported a failure."},
    {ERROR_SHARING_VIOLATION, "Another process has the file open in a way that forbids this access."},
    {ERROR_LOCK_VIOLATION, "Part of the file is locked by another process."},
    {ERROR_HANDLE_EOF, "The end of the file was reached."},
    {ERROR_NOT_SUPPORTED, "This request is not supported."},
    {ERROR_DUP_NAME, "The name is already in use."},
    {ERROR_FILE_EXISTS, "A file of that name already exists."},
    {ERROR_INVALID_PARAMETER, "A parameter of the call is not valid."},
    {ERROR_BROKEN_PIPE, "The other end of the pipe has been closed."},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
    {ERROR_DISK_FULL, "No space is left on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not available on this system."},
    {ERROR_SEM_TIMEOUT, "The time allowed for the semaphore ran out."},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer given to the call is too small."},
    {ERROR_INVALID_NAME, "The file, directory or object name is malformed."},
    {ERROR_INVALID_LEVEL, "The information level of the call is not one it knows."},
    {ERROR_MOD_NOT_FOUND, "The library could not be found or loaded."},
    {ERROR_PROC_NOT_FOUND, "The library does not export the requested function."},
    {ERROR_WAIT_NO_CHILDREN, "There are no child processes to wait for."},
    {ERROR_NEGATIVE_SEEK, "The file position would fall before the start of the file."},
    {ERROR_DIR_NOT_EMPTY, "The directory still has entries."},
    {ERROR_NOT_LOCKED, "The segment is not locked."},
    {ERROR_BAD_PATHNAME, "The path is not valid."},
    {ERROR_BUSY, "The resource is in use."},
    {ERROR_MR_MID_NOT_FOUND, "No message text exists for this code."},
    {ERROR_ALREADY_EXISTS, "An object of that name exists already."},
    {ERROR_BAD_EXE_FORMAT, "The file is not a program that this system can run."},
    {ERROR_ENVVAR_NOT_FOUND, "No environment variable of that name is set."},
    {ERROR_FILENAME_EXCED_RANGE, "The file name or path is longer than allowed."},
    {ERROR_PIPE_BUSY, "Every instance of the pipe is in use."},
    {ERROR_NO_DATA, "The pipe is being closed."},
    {ERROR_PIPE_NOT_CONNECTED, "No process is at the other end of the pipe."},
    {ERROR_MORE_DATA, "More data is available than the buffer holds."},
    {WAIT_TIMEOUT, "The wait ran out of time."},
    {ERROR_NO_MORE_ITEMS, "There are no more entries."},
    {ERROR_DIRECTORY, "The directory name is not valid."},
    {ERROR_NOT_OWNER, "The caller does not own the mutex it tried to release."},
    {ERROR_TOO_MANY_POSTS, "The semaphore cannot be set again."},
    {ERROR_PARTIAL_COPY, "Only part of the request was completed."},
    {ERROR_INVALID_ADDRESS, "The address is not valid."},
    {ERROR_PIPE_CONNECTED, "A client is already connected to the pipe."},
    {ERROR_PIPE_LISTENING, "The pipe is waiting for a client to connect."},
    {ERROR_ABANDONED_WAIT_0, "The object waited on was abandoned by its owner."},
    {ERROR_OPERATION_ABORTED, "The input or output operation was cancelled."},
    {ERROR_IO_INCOMPLETE, "The overlapped operation has not finished yet."},
    {ERROR_IO_PENDING, "The overlapped operation is still running."},
    {ERROR_NOACCESS, "Memory given to the call could not be accessed."},
    {ERROR_INVALID_FLAGS, "The flags given are not valid."},
    {ERROR_CANTOPEN, "A registry key could not be opened."},
    {ERROR_CANTREAD, "A registry key could not be read."},
    {ERROR_CANTWRITE, "A registry key could not be written."},
    {ERROR_REGISTRY_CORRUPT, "The registry store is damaged."},
    {ERROR_REGISTRY_IO_FAILED, "Input or output on the registry store failed."},
    {ERROR_KEY_DELETED, "The registry key has been marked for deletion."},
    {ERROR_DEPENDENT_SERVICES_RUNNING, "Other running services depend on this service, so it cannot be stopped."},
    {ERROR_INVALID_SERVICE_CONTROL, "The control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT, "The service did not answer the start or control request in time."},
    {ERROR_SERVICE_NO_THREAD, "No thread could be created for the service."},
    {ERROR_SERVICE_DATABASE_LOCKED, "The service database is locked."},
    {ERROR_SERVICE_ALREADY_RUNNING, "The service is already running."},
    {ERROR_INVALID_SERVICE_ACCOUNT, "The account name is not valid or does not exist."},
    {ERROR_SERVICE_DISABLED, "The service is disabled, or no enabled devices belong to it, so it cannot start."},
    {ERROR_CIRCULAR_DEPENDENCY, "The service dependencies form a circle."},
    {ERROR_SERVICE_DOES_NOT_EXIST, "No service of that name is installed."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot take a control request in its present state."},
    {ERROR_SERVICE_NOT_ACTIVE, "The service is not running."},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, "The service process could not reach the service controller."},
    {ERROR_EXCEPTION_IN_SERVICE, "The service failed while handling a control request."},
    {ERROR_DATABASE_DOES_NOT_EXIST, "The named service database does not exist."},
    {ERROR_SERVICE_SPECIFIC_ERROR, "The service stopped with an error code of its own."},
    {ERROR_PROCESS_ABORTED, "The process ended without warning."},
    {ERROR_SERVICE_DEPENDENCY_FAIL, "A service this service depends on could not start."},
    {ERROR_SERVICE_LOGON_FAILED, "The service could not log on."},
    {ERROR_SERVICE_START_HANG, "The service hung while starting."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The service is marked for deletion."},
    {ERROR_SERVICE_EXISTS, "A service of that name is installed already."},
    {ERROR_SERVICE_DEPENDENCY_DELETED, "A service this service depends on is missing or marked for deletion."},
    {ERROR_SERVICE_NEVER_STARTED, "The service has not been started since the system booted."},
    {ERROR_DUPLICATE_SERVICE_NAME, "The name is already used as a service name or display name."},
    {ERROR_SHUTDOWN_IN_PROGRESS, "The system is shutting down."},
    {ERROR_NOT_FOUND, "The element was not found."},
    {ERROR_UNKNOWN_REVISION, "The revision level is not one this system knows."},
    {ERROR_INVALID_OWNER, "The security descriptor names no usable owner."},
    {ERROR_INVALID_PRIMARY_GROUP, "The security descriptor names no usable primary group."},
    {ERROR_INVALID_ACL, "The access control list is malformed."},
    {ERROR_INVALID_SID, "The security identifier is malformed."},
    {ERROR_INVALID_SECURITY_DESCR, "The security descriptor is malformed."},
    {ERROR_NO_SYSTEM_RESOURCES, "The system lacks the resources to finish the request."},
    {ERROR_TIMEOUT, "The operation ran out of time."},
    {ERROR_LOG_FILE_FULL, "The event log is full and may not overwrite its records."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The resource type is not present in the image file."},
};

static const char *MessageTextFor(DWORD code) {
    for (const MessageText &entry : messageTexts)
        if (entry.code == code) return entry.text;
    return nullptr;
}

/* Only FORMAT_MESSAGE_FROM_SYSTEM is supported; insert requests are accepted
 * and ignored, since none of the texts holds an insert. The width mask is
 * ignored as well. */
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list *Arguments) {
    (void)lpSource, (void)dwLanguageId, (void)Arguments;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char *text = MessageTextFor(dwMessageId);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    size_t length = strlen(text) + 2;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t capacity = length + 1 > nSize ? length + 1 : nSize;
        char *copy = (char *)malloc(capacity);
        if (!copy) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(copy, text, length - 2);
        memcpy(copy + length - 2, "\r\n", 3);
        *(char **)lpBuffer = copy;
        return (DWORD)length;
    }
    if (length + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpBuffer, text, length - 2);
    memcpy(lpBuffer + length - 2, "\r\n", 3);
    return (DWORD)length;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}
