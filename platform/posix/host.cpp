#include "host.h"

#include <stdio.h>
#include <string.h>

#include "root.h"

const char hostPathSeparator = '/';

int HostIsAbsolutePath(const char *path) { return path[0] == '/'; }
const char *const hostJreSubdirectory = "/jre";

#if defined(__x86_64__)
#define HOST_JAVA_ARCH "amd64"
#elif defined(__aarch64__)
#define HOST_JAVA_ARCH "aarch64"
#elif defined(__i386__)
#define HOST_JAVA_ARCH "i386"
#else
#define HOST_JAVA_ARCH "unknown"
#endif

const char *const hostJvmConfigPlaces[] = {"", "/lib", "/lib/" HOST_JAVA_ARCH, nullptr};

const int hostStreamsAddCarriageReturn = 0;
const int hostOpenFilesCanBeRenamed = 1;

const char hostImageMagic[] = "\x7f" "ELF";
const size_t hostImageMagicLength = 4;

static int FormatInto(char *out, size_t capacity, int written) {
    if (written < 0 || (size_t)written >= capacity) {
        if (capacity > 0) out[0] = '\0';
        return 1;
    }
    return 0;
}

int HostTypedJvmPath(char *out, size_t capacity, const char *directory, const char *configDirectory,
                     const char *typeName) {
    (void)directory;
    return FormatInto(out, capacity, snprintf(out, capacity, "%s/%s/libjvm.so", configDirectory, typeName));
}

int HostClassicJvmPath(char *out, size_t capacity, const char *directory) {
    return FormatInto(out, capacity, snprintf(out, capacity, "%s/lib/server/libjvm.so", directory));
}

int HostJavaPipePath(char *out, size_t capacity, const char *pipeName) {
    static const char prefix[] = "\\\\.\\PIPE\\";
    if (strncasecmp(pipeName, prefix, sizeof prefix - 1) != 0) return FormatInto(out, capacity, -1);
    char encoded[512];
    if (EncodeObjectName(encoded, sizeof encoded, pipeName + sizeof prefix - 1) != 0)
        return FormatInto(out, capacity, -1);
    char relative[600];
    snprintf(relative, sizeof relative, "pipes/%s/pipe", encoded);
    if (MachinePath(out, capacity, relative) != 0) return FormatInto(out, capacity, -1);
    return 0;
}
