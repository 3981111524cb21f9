/* The registry: the HKEY_LOCAL_MACHINE hive, kept in the root's machine.db. */
#ifndef PELORIM_WIN_REGISTRY_H
#define PELORIM_WIN_REGISTRY_H

#include "base.h"
#include "security.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

/* Every call returns a Win32 error code; none sets the last error. Key and
 * value names compare without regard to ASCII case and keep their stored case;
 * subkeys enumerate in a stable order (creation order). */
LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition);
LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData);
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LONG WINAPI RegCloseKey(HKEY hKey);

/* A key's security descriptor is kept with the key in machine.db and goes with
 * it; a key never given one has the hive's default: owner Administrators,
 * group SYSTEM, and a DACL that gives SYSTEM and Administrators full control
 * and Users read, each entry inherited by subkeys (what a key under
 * HKLM\System has on Windows). It is kept, not enforced: who may read the
 * registry is decided by the machine root's own permissions. Subkeys do not
 * inherit a descriptor set on their parent later.
 * RegGetKeySecurity gives the requested parts in self-relative form (owner,
 * group, DACL, in that order); ERROR_INSUFFICIENT_BUFFER with the size needed
 * when pSecurityDescriptor is NULL or too small. RegSetKeySecurity takes an
 * absolute or self-relative descriptor and replaces the parts that
 * SecurityInformation names; PROTECTED_DACL_SECURITY_INFORMATION and
 * UNPROTECTED_DACL_SECURITY_INFORMATION set and clear SE_DACL_PROTECTED, which
 * is otherwise taken from the descriptor. Errors: ERROR_INVALID_PARAMETER for
 * no information or no descriptor, ERROR_UNKNOWN_REVISION,
 * ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_ACL, ERROR_INVALID_SID for a
 * malformed descriptor, ERROR_INVALID_OWNER / ERROR_INVALID_PRIMARY_GROUP for
 * an owner or group named but missing, ERROR_ACCESS_DENIED for the system ACL
 * (which needs ACCESS_SYSTEM_SECURITY, never granted here), and the codes of
 * the other calls for the handle and the key. */
LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor);
LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor);

#ifdef __cplusplus
}
#endif

#endif
