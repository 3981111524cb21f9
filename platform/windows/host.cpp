#include "host.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "host_paths.h"

const char hostPathSeparator = '\\';

int HostIsPathSeparator(char c) { return c == '\\' || c == '/'; }
const int hostHasDriveLetters = 1;

const char *const hostJreSubdirectory = "\\jre";
#ifdef _WIN64
const char *const hostJvmConfigPlaces[] = {"", "\\lib", "\\lib\\i386", "\\lib\\amd64", nullptr};
#else
const char *const hostJvmConfigPlaces[] = {"", "\\lib", "\\lib\\i386", nullptr};
#endif
const char hostPathListSeparator = ';';

const int hostStreamsAddCarriageReturn = 1;
const size_t hostShellCommandCapacity = 8191;

/* The C runtime's own split of the UTF-16 command line: the same words, by the
 * same rules, as the ANSI argv that main receives. */
extern "C" int __cdecl __wgetmainargs(int *count, wchar_t ***words, wchar_t ***environment, int expandWildcards,
                                      int *startupInfo);

int HostLostArgument(unsigned *codePage) {
    *codePage = GetACP();
    if (*codePage == CP_UTF8) return 0;
    int count = 0, startupInfo = 0;
    wchar_t **words = nullptr, **environment = nullptr;
    if (__wgetmainargs(&count, &words, &environment, 0, &startupInfo) != 0 || words == nullptr) return 0;
    for (int i = 1; i < count; i++) {
        BOOL lost = FALSE;
        if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, words[i], -1, nullptr, 0, nullptr, &lost) != 0 && lost)
            return i;
    }
    return 0;
}

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

int HostTypedJvmPath(char *out, size_t capacity, const char *directory, const char *configDirectory,
                     const char *typeName) {
    (void)configDirectory;
    return FormatInto(out, capacity, snprintf(out, capacity, "%.*s\\bin\\%s\\jvm.dll", TrimmedLength(directory),
                                              directory, typeName));
}

int HostClassicJvmPath(char *out, size_t capacity, const char *directory) {
    return FormatInto(out, capacity,
                      snprintf(out, capacity, "%.*s\\bin\\javai.dll", TrimmedLength(directory), directory));
}

int HostJavaPipePath(char *out, size_t capacity, const char *pipeName) {
    return FormatInto(out, capacity, snprintf(out, capacity, "%s", pipeName));
}

int HostJavaHomeOfLauncher(char *out, size_t capacity, const char *directory) {
    size_t length = strlen(directory);
    if (length >= 2 && directory[0] == '"' && directory[length - 1] == '"') {
        directory++;
        length -= 2;
    }
    while (length > 0 && HostIsPathSeparator(directory[length - 1])) length--;
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

static const int MOST_IMPORTS = 256;
static const WORD MOST_SECTIONS = 96;

/* The headers of a PE image that locate its import table. */
struct ImageLayout {
    DWORD importRva;
    WORD sectionCount;
    IMAGE_SECTION_HEADER sections[MOST_SECTIONS];
};

static int ReadImageLayout(HANDLE file, ImageLayout *layout) {
    IMAGE_DOS_HEADER dos = {};
    if (ReadAt(file, 0, &dos, sizeof dos) != 0 || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return 1;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    LONG at = dos.e_lfanew;
    if (ReadAt(file, at, &signature, sizeof signature) != 0 || signature != IMAGE_NT_SIGNATURE ||
        ReadAt(file, at + 4, &header, sizeof header) != 0)
        return 1;
    LONG optional = at + 4 + (LONG)sizeof header;
    WORD magic = 0;
    if (ReadAt(file, optional, &magic, sizeof magic) != 0) return 1;
    IMAGE_DATA_DIRECTORY imports = {};
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_OPTIONAL_HEADER64 image = {};
        if (header.SizeOfOptionalHeader < sizeof image || ReadAt(file, optional, &image, sizeof image) != 0 ||
            image.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
            return 1;
        imports = image.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        IMAGE_OPTIONAL_HEADER32 image = {};
        if (header.SizeOfOptionalHeader < sizeof image || ReadAt(file, optional, &image, sizeof image) != 0 ||
            image.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
            return 1;
        imports = image.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    } else {
        return 1;
    }
    layout->importRva = imports.VirtualAddress;
    layout->sectionCount = header.NumberOfSections < MOST_SECTIONS ? header.NumberOfSections : MOST_SECTIONS;
    return ReadAt(file, optional + header.SizeOfOptionalHeader, layout->sections,
                  layout->sectionCount * (DWORD)sizeof(IMAGE_SECTION_HEADER));
}

/* Where the byte at `rva` lies in the file; -1 when no section holds it. */
static LONG FileOffsetOf(const ImageLayout *layout, DWORD rva) {
    for (WORD i = 0; i < layout->sectionCount; i++) {
        const IMAGE_SECTION_HEADER &section = layout->sections[i];
        DWORD size = section.Misc.VirtualSize > section.SizeOfRawData ? section.Misc.VirtualSize : section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size)
            return (LONG)(rva - section.VirtualAddress + section.PointerToRawData);
    }
    return -1;
}

/* The `index`th DLL name of the import table into `name` (MAX_PATH + 1
 * bytes); 1 past the table's end or when the image cannot be read. */
static int ReadImportName(HANDLE file, const ImageLayout *layout, int index, char *name) {
    IMAGE_IMPORT_DESCRIPTOR entry = {};
    LONG at = FileOffsetOf(layout, layout->importRva + (DWORD)index * (DWORD)sizeof entry);
    if (at < 0 || ReadAt(file, at, &entry, sizeof entry) != 0 || entry.Name == 0) return 1;
    LONG nameAt = FileOffsetOf(layout, entry.Name);
    if (nameAt < 0 || SetFilePointer(file, nameAt, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return 1;
    DWORD read = 0;
    if (!ReadFile(file, name, MAX_PATH, &read, nullptr) || read == 0) return 1;
    name[read] = '\0';
    return strlen(name) == read ? 1 : 0; /* a name runs to its NUL */
}

static bool IsApiSetName(const char *name) {
    return _strnicmp(name, "api-ms-", 7) == 0 || _strnicmp(name, "ext-ms-", 7) == 0;
}

/* Whether the process's search finds and loads `name`; what is already
 * loaded counts as found. */
static bool LoadsByName(const char *name) {
    if (IsApiSetName(name) || GetModuleHandleA(name) != nullptr) return true;
    HMODULE library = LoadLibraryA(name);
    if (library == nullptr) return GetLastError() != ERROR_MOD_NOT_FOUND;
    FreeLibrary(library);
    return true;
}

int HostMissingLibrary(char *out, size_t capacity, const char *libraryPath) {
    HANDLE file = CreateFileA(libraryPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FormatInto(out, capacity, -1);
    ImageLayout layout = {};
    int result = FormatInto(out, capacity, -1);
    char name[MAX_PATH + 1];
    if (ReadImageLayout(file, &layout) == 0 && layout.importRva != 0) {
        for (int i = 0; i < MOST_IMPORTS && ReadImportName(file, &layout, i, name) == 0; i++) {
            if (LoadsByName(name)) continue;
            result = FormatInto(out, capacity, snprintf(out, capacity, "%s", name));
            break;
        }
    }
    CloseHandle(file);
    return result;
}
