#include "host.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

const char hostPathSeparator = '\\';

int HostIsPathSeparator(char c) { return c == '\\' || c == '/'; }

int HostIsAbsolutePath(const char *path) {
    if (HostIsPathSeparator(path[0])) return 1;
    bool drive = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    return drive && path[1] == ':' && HostIsPathSeparator(path[2]);
}

const char *const hostJreSubdirectory = "\\jre";
#ifdef _WIN64
const char *const hostJvmConfigPlaces[] = {"", "\\lib", "\\lib\\i386", "\\lib\\amd64", nullptr};
#else
const char *const hostJvmConfigPlaces[] = {"", "\\lib", "\\lib\\i386", nullptr};
#endif
const char hostPathListSeparator = ';';

const int hostStreamsAddCarriageReturn = 1;

/* The calls of one C runtime that move its standard descriptors and streams. */
struct RuntimeStreams {
    int(__cdecl *openOsHandle)(intptr_t, int);
    int(__cdecl *duplicateOnto)(int, int);
    int(__cdecl *closeDescriptor)(int);
    int(__cdecl *descriptorOf)(FILE *);
    FILE *(__cdecl *reopen)(const char *, const char *, FILE *);
    int(__cdecl *setBuffering)(FILE *, char *, int, size_t);
    int(__cdecl *flush)(FILE *);
    /* For a runtime whose FILE layout is known: gives the stream the
     * descriptor where its freopen refuses a stream that has none (Wine's). */
    void (*adopt)(FILE *, int);
    FILE *streams[3];
};

/* Points descriptor `fd` (1 or 2) of the runtime, and its stream, at a copy
 * of `handle` that the runtime owns. A runtime that started without a
 * standard handle marks the stream as having no descriptor (-2, the
 * documented value of _fileno then): the stream is given one first. The
 * stream is left unbuffered, so that a line the virtual machine prints
 * reaches the log at once and in its place among the others. */
static int PointDescriptor(const RuntimeStreams &runtime, int fd, HANDLE handle) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 1;
    int opened = runtime.openOsHandle(reinterpret_cast<intptr_t>(copy), _O_TEXT);
    if (opened < 0) {
        CloseHandle(copy);
        return 1;
    }
    if (opened != fd) {
        int moved = runtime.duplicateOnto(opened, fd);
        runtime.closeDescriptor(opened);
        if (moved != 0) return 1;
    }
    FILE *stream = runtime.streams[fd];
    int current = runtime.descriptorOf(stream);
    if (current < 0 && runtime.reopen("NUL", "w", stream) != nullptr) current = runtime.descriptorOf(stream);
    if (current < 0 && runtime.adopt != nullptr) {
        runtime.adopt(stream, fd);
        current = runtime.descriptorOf(stream);
    }
    if (current < 0 || (current != fd && runtime.duplicateOnto(fd, current) != 0)) return 1;
    runtime.setBuffering(stream, nullptr, _IONBF, 0);
    return 0;
}

static int PointRuntime(const RuntimeStreams &runtime, HANDLE out, HANDLE err) {
    runtime.flush(runtime.streams[1]);
    runtime.flush(runtime.streams[2]);
    return PointDescriptor(runtime, 1, out) | PointDescriptor(runtime, 2, err);
}

template <class F> static bool Resolve(HMODULE module, const char *name, F *function) {
    FARPROC found = GetProcAddress(module, name);
    *function = reinterpret_cast<F>(reinterpret_cast<void *>(found));
    return found != nullptr;
}

/* The universal C runtime (that of Java 9 and later), when a library of the
 * process has loaded it already: it took the handles of the process's start. */
static int PointLoadedUniversalRuntime(HANDLE out, HANDLE err) {
    HMODULE module = GetModuleHandleA("ucrtbase.dll");
    if (module == nullptr) return 0;
    RuntimeStreams runtime = {};
    FILE *(__cdecl *streamOf)(unsigned) = nullptr;
    if (!Resolve(module, "_open_osfhandle", &runtime.openOsHandle) || !Resolve(module, "_dup2", &runtime.duplicateOnto) ||
        !Resolve(module, "_close", &runtime.closeDescriptor) || !Resolve(module, "_fileno", &runtime.descriptorOf) ||
        !Resolve(module, "freopen", &runtime.reopen) || !Resolve(module, "setvbuf", &runtime.setBuffering) ||
        !Resolve(module, "fflush", &runtime.flush) || !Resolve(module, "__acrt_iob_func", &streamOf))
        return 1;
    for (unsigned i = 0; i < 3; i++) runtime.streams[i] = streamOf(i);
    return PointRuntime(runtime, out, err);
}

/* This program's own C runtime is msvcrt.dll, whose FILE layout its headers
 * give (a runtime built on the universal C runtime has none to give). */
static void AdoptDescriptor(FILE *stream, int fd) {
#ifndef _UCRT
    stream->_file = fd;
#else
    (void)stream, (void)fd;
#endif
}

int HostPointRuntimeStreams(void *out, void *err) {
    RuntimeStreams own = {_open_osfhandle, _dup2, _close, _fileno, freopen, setvbuf, fflush, AdoptDescriptor,
                          {stdin, stdout, stderr}};
    int result = PointRuntime(own, out, err);
    return result | PointLoadedUniversalRuntime(out, err);
}

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

int HostParentDirectory(char *out, size_t capacity, const char *path) {
    size_t length = strlen(path);
    while (length > 0 && HostIsPathSeparator(path[length - 1])) length--;
    while (length > 0 && !HostIsPathSeparator(path[length - 1])) length--;
    while (length > 1 && HostIsPathSeparator(path[length - 1])) length--;
    if (length == 0) return FormatInto(out, capacity, -1);
    return FormatInto(out, capacity, snprintf(out, capacity, "%.*s", (int)length, path));
}

int HostJavaHomeOfLauncher(char *out, size_t capacity, const char *directory) {
    size_t length = strlen(directory);
    if (length >= 2 && directory[0] == '"' && directory[length - 1] == '"') {
        directory++;
        length -= 2;
    }
    char launcher[MAX_PATH + 1];
    int written = snprintf(launcher, sizeof launcher, "%.*s\\java.exe", (int)length, directory);
    if (length == 0 || written < 0 || (size_t)written >= sizeof launcher) return FormatInto(out, capacity, -1);
    DWORD attributes = GetFileAttributesA(launcher);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return FormatInto(out, capacity, -1);
    launcher[length] = '\0';
    return HostParentDirectory(out, capacity, launcher);
}

/* Reads exactly `size` bytes at `offset`; 0 when it did. */
static int ReadAt(HANDLE file, LONG offset, void *buffer, DWORD size) {
    if (SetFilePointer(file, offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return 1;
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, nullptr) && read == size ? 0 : 1;
}

int HostImageBits(const char *path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    IMAGE_DOS_HEADER dos = {};
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER file;
        WORD magic; /* the optional header's first field */
    } nt = {};
    int bits = 0;
    if (ReadAt(file, 0, &dos, sizeof dos) == 0 && dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
        ReadAt(file, dos.e_lfanew, &nt, sizeof nt) == 0 && nt.signature == IMAGE_NT_SIGNATURE)
        bits = nt.magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? 64 : nt.magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC ? 32 : 0;
    CloseHandle(file);
    return bits;
}

const char *HostBuildForBits(int bits) {
    return bits == 64 ? "x64\\pelorim.exe of the Pelorim zip" : "x86\\pelorim.exe of the Pelorim zip";
}

int HostDependencySearchText(char *out, size_t capacity, const char *runtimeDirectory) {
    return FormatInto(out, capacity,
                      snprintf(out, capacity,
                               "the directory of pelorim.exe, %s, the system directories and the directories of PATH",
                               runtimeDirectory[0] != '\0' ? runtimeDirectory : "(no runtime directory)"));
}
