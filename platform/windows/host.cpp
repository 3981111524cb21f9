#include "host.h"

#include <stdio.h>
#include <string.h>

const char hostPathSeparator = '\\';

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

int HostIsAbsolutePath(const char *path) {
    if (IsSeparator(path[0])) return 1;
    bool drive = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    return drive && path[1] == ':' && IsSeparator(path[2]);
}

const char *const hostJreSubdirectory = "\\jre";
const char *const hostJvmConfigPlaces[] = {"", "\\lib", "\\lib\\i386", nullptr};

const int hostStreamsAddCarriageReturn = 1;
const int hostOpenFilesCanBeRenamed = 0;

const char hostImageMagic[] = "MZ";
const size_t hostImageMagicLength = 2;

static int FormatInto(char *out, size_t capacity, int written) {
    if (written < 0 || (size_t)written >= capacity) {
        if (capacity > 0) out[0] = '\0';
        return 1;
    }
    return 0;
}

int HostTypedJvmPath(char *out, size_t capacity, const char *directory, const char *configDirectory,
                     const char *typeName) {
    (void)configDirectory;
    return FormatInto(out, capacity, snprintf(out, capacity, "%s\\bin\\%s\\jvm.dll", directory, typeName));
}

int HostClassicJvmPath(char *out, size_t capacity, const char *directory) {
    return FormatInto(out, capacity, snprintf(out, capacity, "%s\\bin\\javai.dll", directory));
}

int HostJavaPipePath(char *out, size_t capacity, const char *pipeName) {
    return FormatInto(out, capacity, snprintf(out, capacity, "%s", pipeName));
}
