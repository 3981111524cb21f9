/*
 * Dynamic libraries. RTLD_LOCAL keeps a loaded Java runtime's symbols to
 * itself; it finds its own companion libraries through its RPATH.
 */
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "descriptor.h"
#include "errors.h"
#include "library.h"

enum { IMAGE_KIND_BYTES = 20 }; /* e_ident, e_type and e_machine, alike in both ELF classes */

/* The first bytes of a file: 1 when read, 0 when the file is shorter, -1 when
 * it cannot be opened or read. */
static int ReadImageKind(const char *path, unsigned char *kind) {
    DescriptorGuard file(RetryOnInterrupt([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
    if (!file) return -1;
    ssize_t length = RetryOnInterrupt([&] { return read(file.Get(), kind, IMAGE_KIND_BYTES); });
    if (length < 0) return -1;
    return length == IMAGE_KIND_BYTES ? 1 : 0;
}

int ElfImageBits(const char *path) {
    unsigned char kind[IMAGE_KIND_BYTES];
    if (ReadImageKind(path, kind) != 1 || memcmp(kind, ELFMAG, SELFMAG) != 0) return 0;
    return kind[EI_CLASS] == ELFCLASS64 ? 64 : kind[EI_CLASS] == ELFCLASS32 ? 32 : 0;
}

static bool IsImageOfThisProcessKind(const unsigned char *kind) {
    unsigned char own[IMAGE_KIND_BYTES];
    if (ReadImageKind("/proc/self/exe", own) != 1) return true; /* nothing to tell them apart */
    size_t machine = offsetof(Elf32_Ehdr, e_machine);
    return memcmp(kind, ELFMAG, SELFMAG) == 0 && kind[EI_CLASS] == own[EI_CLASS] &&
           kind[EI_DATA] == own[EI_DATA] && memcmp(kind + machine, own + machine, 2) == 0;
}

/* Why a library did not load, as Windows says it: a file that is no library
 * for this process (no image at all, or one of another class or machine, as a
 * 32-bit jvm.dll is to a 64-bit process) is ERROR_BAD_EXE_FORMAT; anything
 * else, a missing file or a missing dependency, is ERROR_MOD_NOT_FOUND. A
 * bare name is searched for, so it names no one file to look at. */
static DWORD LibraryLoadError(const char *path) {
    if (!strchr(path, '/')) return ERROR_MOD_NOT_FOUND;
    unsigned char kind[IMAGE_KIND_BYTES];
    int read = ReadImageKind(path, kind);
    if (read < 0) return ERROR_MOD_NOT_FOUND;
    if (read == 0 || !IsImageOfThisProcessKind(kind)) return ERROR_BAD_EXE_FORMAT;
    return ERROR_MOD_NOT_FOUND;
}

/* The directory of SetDllDirectoryA, "" for none. */
static std::mutex dllDirectoryLock;
static std::string dllDirectory;

/* A bare name as found in the DLL directory, or the name itself for the
 * dynamic linker's own search. */
static std::string LibraryToOpen(const char *name) {
    if (strchr(name, '/')) return name;
    std::lock_guard<std::mutex> hold(dllDirectoryLock);
    if (dllDirectory.empty()) return name;
    std::string candidate = dllDirectory + "/" + name;
    return access(candidate.c_str(), F_OK) == 0 ? candidate : name;
}

/* The dynamic linker's message of the latest failed load. */
static std::mutex loadFailureLock;
static std::string loadFailureMessage;

static void NoteLoadFailureMessage(void) {
    const char *message = dlerror();
    std::lock_guard<std::mutex> hold(loadFailureLock);
    loadFailureMessage = message ? message : "";
}

int LastUnopenedLibrary(char *out, size_t capacity) {
    static const char marker[] = ": cannot open shared object file";
    std::lock_guard<std::mutex> hold(loadFailureLock);
    size_t end = loadFailureMessage.find(marker);
    if (end == std::string::npos || end == 0 || end >= capacity) return 1;
    memcpy(out, loadFailureMessage.data(), end);
    out[end] = '\0';
    return 0;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) return (HMODULE)FailWithHandle(ERROR_INVALID_PARAMETER);
    std::string path = LibraryToOpen(lpLibFileName);
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        NoteLoadFailureMessage();
        return (HMODULE)FailWithHandle(LibraryLoadError(path.c_str()));
    }
    return (HMODULE)library;
}

BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName) {
    std::lock_guard<std::mutex> hold(dllDirectoryLock);
    dllDirectory = lpPathName ? lpPathName : "";
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!hModule || !lpProcName) {
        SetLastError(hModule ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym((void *)hModule, lpProcName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return (FARPROC)symbol;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!hLibModule) return FailWith(ERROR_INVALID_HANDLE);
    if (dlclose((void *)hLibModule) != 0) return FailWith(ERROR_INVALID_HANDLE);
    return TRUE;
}
