#include "root.h"

const char *MachineRoot(void) { return "/nonexistent"; }
DWORD MachinePath(char *, size_t, const char *) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD EncodeObjectName(char *, size_t, const char *) { return ERROR_CALL_NOT_IMPLEMENTED; }
sqlite3 *MachineDbLock(void) { return nullptr; }
void MachineDbUnlock(void) {}
void ResetMachineRootAfterFork(void) {}
