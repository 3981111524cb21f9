/* The path helpers of host.h, the same on every platform but for what
 * HostIsPathSeparator and hostHasDriveLetters say. */
#include <stdio.h>
#include <string.h>

#include "host.h"
#include "host_paths.h"

int FormatInto(char *out, size_t capacity, int written) {
    if (written < 0 || (size_t)written >= capacity) {
        if (capacity > 0) out[0] = '\0';
        return 1;
    }
    return 0;
}

int TrimmedLength(const char *path) {
    size_t length = strlen(path);
    while (length > 0 && HostIsPathSeparator(path[length - 1])) length--;
    return (int)length;
}

int HostIsAbsolutePath(const char *path) {
    if (HostIsPathSeparator(path[0])) return 1;
    bool drive = hostHasDriveLetters && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive && path[1] == ':' && HostIsPathSeparator(path[2]);
}

int HostJoinPath(char *out, size_t capacity, const char *directory, const char *rest) {
    return FormatInto(out, capacity, snprintf(out, capacity, "%.*s%s", TrimmedLength(directory), directory, rest));
}

int HostParentDirectory(char *out, size_t capacity, const char *path) {
    size_t length = (size_t)TrimmedLength(path);
    while (length > 0 && !HostIsPathSeparator(path[length - 1])) length--;
    while (length > 1 && HostIsPathSeparator(path[length - 1])) length--;
    if (length == 0) return FormatInto(out, capacity, -1);
    /* A drive's root keeps its separator (host.h); what comes before the colon is not checked. */
    if (hostHasDriveLetters && length == 2 && path[1] == ':' && HostIsPathSeparator(path[2])) length = 3;
    return FormatInto(out, capacity, snprintf(out, capacity, "%.*s", (int)length, path));
}
