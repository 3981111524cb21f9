/* Who may read the service's key: its values hold the service's whole
 * environment and command line, which may carry passwords. */
#include <windows.h>
/* after windows.h, whose types it uses */
#include <sddl.h>
#include <stdint.h>
#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "common/sha1.h"
#include "config/params.h"
#include "log/log.h"

/* Full control to SYSTEM and Administrators; read to the service's own SID,
 * so that it still reads its values when moved to another account with
 * "sc config obj="; nothing to anyone else. Protected (P), so the entries of
 * the Services key, which let every user read, are not inherited; inherited
 * by subkeys (CI). */
static const char serviceKeySecurity[] = "D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;%s)";

/* Windows derives the SID of "NT SERVICE\<name>" from the name alone: S-1-5-80
 * followed by the SHA-1 of the name in upper case as UTF-16LE, read as five
 * little-endian numbers. Exact for names in ASCII; any other byte is taken as
 * the UTF-16 code unit of its own value, unchanged. */
char *FormatServiceSid(const char *serviceName) {
    uint8_t wide[2 * (NAME_CAPACITY + 1)];
    size_t length = strnlen(serviceName, NAME_CAPACITY + 1);
    for (size_t i = 0; i < length; i++) {
        uint8_t c = static_cast<uint8_t>(serviceName[i]);
        wide[2 * i] = c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c;
        wide[2 * i + 1] = 0;
    }
    uint8_t digest[20];
    Sha1(wide, 2 * length, digest);
    uint32_t parts[5];
    for (int i = 0; i < 5; i++)
        parts[i] = static_cast<uint32_t>(digest[4 * i]) | static_cast<uint32_t>(digest[4 * i + 1]) << 8 |
                   static_cast<uint32_t>(digest[4 * i + 2]) << 16 | static_cast<uint32_t>(digest[4 * i + 3]) << 24;
    return FormatText("S-1-5-80-%u-%u-%u-%u-%u", (unsigned)parts[0], (unsigned)parts[1], (unsigned)parts[2],
                      (unsigned)parts[3], (unsigned)parts[4]);
}

static void LogKeyFailure(const char *call, DWORD status, const char *keyPath) {
    TextGuard failure(FormatSystemError(call, status));
    LogFormatted(LOG_ERROR, "%s\r\n\t%s", failure.Get(), keyPath);
}

int ProtectServiceKey(void) {
    TextGuard keyPath(FormatParameterKeyPath());
    TextGuard sid(FormatServiceSid(settings.serviceName));
    TextGuard text(FormatText(serviceKeySecurity, sid.Get()));
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.Get(), SDDL_REVISION_1, &descriptor, NULL)) {
        LogKeyFailure("ConvertStringSecurityDescriptorToSecurityDescriptor", GetLastError(), keyPath.Get());
        return 1;
    }
    LocalMemoryGuard descriptorMemory(descriptor);
    KeyGuard key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.Get(), 0, WRITE_DAC, key.Out());
    if (status != ERROR_SUCCESS) {
        LogKeyFailure("RegOpenKeyEx", static_cast<DWORD>(status), keyPath.Get());
        return 1;
    }
    status = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
    if (status != ERROR_SUCCESS) {
        LogKeyFailure("RegSetKeySecurity", static_cast<DWORD>(status), keyPath.Get());
        return 1;
    }
    return 0;
}
