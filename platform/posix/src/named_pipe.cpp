#include "named_pipe.h"

#include "errors.h"
#include "handles.h"

bool IsNamedPipeName(const char *) { return false; }
HANDLE OpenNamedPipeClient(const char *, DWORD, DWORD *error) {
    *error = ERROR_CALL_NOT_IMPLEMENTED;
    return nullptr;
}
HANDLE WINAPI CreateNamedPipeA(LPCSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES) {
    return FailWithHandle(ERROR_CALL_NOT_IMPLEMENTED, INVALID_HANDLE_VALUE);
}
BOOL WINAPI ConnectNamedPipe(HANDLE, LPOVERLAPPED) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
BOOL WINAPI DisconnectNamedPipe(HANDLE) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
BOOL WINAPI CancelIo(HANDLE) { return FailWith(ERROR_CALL_NOT_IMPLEMENTED); }
