/* The service process side of the service controller. */
#include "service_internal.h"

#include "errors.h"
#include "root.h"

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *) {
    return FailWith(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) { return FailWith(ERROR_INVALID_HANDLE); }
