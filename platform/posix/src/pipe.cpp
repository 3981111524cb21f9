#include <windows.h>

#include "errors.h"
#include "handles.h"

BOOL WINAPI CreatePipe(PHANDLE, PHANDLE, LPSECURITY_ATTRIBUTES, DWORD) {
    return FailWith(ERROR_CALL_NOT_IMPLEMENTED);
}
