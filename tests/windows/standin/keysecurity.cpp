/* The Wine test's reader of a key's security: prints the DACL of the key
 * HKEY_LOCAL_MACHINE\<path> in the string form that the system itself makes
 * of it. Exits 1 after a message when the key or its descriptor cannot be read.
 * Usage: keysecurity.exe <path> */
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: keysecurity <key path under HKEY_LOCAL_MACHINE>\n", stderr);
        return 2;
    }
    HKEY key = NULL;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, READ_CONTROL, &key);
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "RegOpenKeyEx: %ld\n", status);
        return 1;
    }
    DWORD size = 0;
    status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, NULL, &size);
    void *descriptor = status == ERROR_INSUFFICIENT_BUFFER ? malloc(size) : NULL;
    if (descriptor) status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &size);
    RegCloseKey(key);
    char *text = NULL;
    if (status != ERROR_SUCCESS || !ConvertSecurityDescriptorToStringSecurityDescriptorA(
                                       descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL)) {
        fprintf(stderr, "RegGetKeySecurity: %ld, last error %lu\n", status, GetLastError());
        free(descriptor);
        return 1;
    }
    puts(text);
    LocalFree(text);
    free(descriptor);
    return 0;
}
