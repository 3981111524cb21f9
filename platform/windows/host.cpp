#include "host.h"

#include <windows.h>

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
const int hostOpenFilesCanBeRenamed = 0;
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
