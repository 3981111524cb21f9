#include "host.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "host_paths.h"
#include "library.h"
#include "named_pipe.h"
#include "root.h"

const char hostPathSeparator = '/';
int HostIsPathSeparator(char c) { return c == '/'; }
const int hostHasDriveLetters = 0;
const char hostPathListSeparator = ':';
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
const size_t hostShellCommandCapacity = 32766;

int HostPointRuntimeStreams(void *out, void *err) {
    (void)out, (void)err;
    return 0;
}

int HostLostArgument(unsigned *codePage) {
    *codePage = 65001;
    return 0;
}

const char hostImageMagic[] = "\x7f" "ELF";
const size_t hostImageMagicLength = 4;

int HostTypedJvmPath(char *out, size_t capacity, const char *directory, const char *configDirectory,
                     const char *typeName) {
    (void)directory;
    return FormatInto(out, capacity, snprintf(out, capacity, "%.*s/%s/libjvm.so", TrimmedLength(configDirectory),
                                              configDirectory, typeName));
}

int HostClassicJvmPath(char *out, size_t capacity, const char *directory) {
    return FormatInto(out, capacity,
                      snprintf(out, capacity, "%.*s/lib/server/libjvm.so", TrimmedLength(directory), directory));
}

int HostJavaPipePath(char *out, size_t capacity, const char *pipeName) {
    if (FormatPipeClientPath(out, capacity, pipeName) != 0) return FormatInto(out, capacity, -1);
    return 0;
}

int HostJavaHomeOfLauncher(char *out, size_t capacity, const char *directory) {
    char launcher[PATH_MAX];
    char real[PATH_MAX];
    int written = snprintf(launcher, sizeof launcher, "%.*s/java", TrimmedLength(directory), directory);
    if (directory[0] == '\0' || written < 0 || (size_t)written >= sizeof launcher || access(launcher, X_OK) != 0 ||
        !realpath(launcher, real))
        return FormatInto(out, capacity, -1);
    static const char suffix[] = "/bin/java";
    size_t length = strlen(real), suffixLength = sizeof suffix - 1;
    if (length <= suffixLength || strcmp(real + length - suffixLength, suffix) != 0)
        return FormatInto(out, capacity, -1);
    return FormatInto(out, capacity, snprintf(out, capacity, "%.*s", (int)(length - suffixLength), real));
}

int HostImageBits(const char *path) { return ElfImageBits(path); }

const char *HostBuildForBits(int bits) {
    return bits == 64 ? "a 64-bit build of Pelorim" : "a 32-bit build of Pelorim";
}

int HostDependencySearchText(char *out, size_t capacity, const char *runtimeDirectory) {
    (void)runtimeDirectory; /* the dynamic linker finds dependencies without it */
    return FormatInto(out, capacity,
                      snprintf(out, capacity,
                               "the library's own run path, LD_LIBRARY_PATH and the system's library directories"));
}

int HostMissingLibrary(char *out, size_t capacity, const char *libraryPath) {
    char missing[PATH_MAX];
    const char *name = strrchr(libraryPath, '/');
    name = name ? name + 1 : libraryPath;
    if (LastUnopenedLibrary(missing, sizeof missing) != 0 || strcmp(missing, libraryPath) == 0 ||
        strcmp(missing, name) == 0)
        return FormatInto(out, capacity, -1);
    return FormatInto(out, capacity, snprintf(out, capacity, "%s", missing));
}
