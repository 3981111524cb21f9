/* Loading the Java runtime library: the directory it gives the system's
 * library search, and what a failed load tells about the reason. */
#include "jvm/jvm.h"
#include "jvm/runtime_library.h"

#include "common/guard.h"
#include "common/messages.h"
#include "host.h"
#include "log/log.h"

char loadedLibraryPath[PATH_CAPACITY + 1];

/* The runtime directory given to the system's library search by the latest
 * LoadJNILibrary, "" when its path named none. */
static char runtimeDirectory[PATH_CAPACITY + 1];

/* The latest library that was there but could not be loaded here: of the other
 * word size (193), or needing a library that was not found (126). A missing
 * file is not noted; its warning says all there is. */
static struct {
    DWORD error;
    int bits;
    char path[PATH_CAPACITY + 1];
    char directory[PATH_CAPACITY + 1];
    char missing[PATH_CAPACITY + 1]; /* with 126: the library it needs that was not found, "" when unknown */
} loadFailure;

static void LogSystemWarning(const char *call, DWORD code, const char *text) {
    TextGuard label(FormatSystemError(call, code));
    LogLabelled(label.Get(), text, LOG_WARNING);
}

/* A runtime library needs libraries that its runtime keeps in its own
 * directory, the parent of the library's (bin of bin\server\jvm.dll):
 * vcruntime140.dll, on x64 also vcruntime140_1.dll, msvcr100.dll or
 * msvcr120.dll for Java 8. The JVM later loads more of its own from there
 * (java.dll, net.dll, awt.dll, and what they need in turn). The Java launcher
 * lives in that directory, and the system searches a program's own directory
 * first. SetDllDirectoryA puts the runtime directory right after this
 * program's directory for every later load of the process, so each load
 * searches as it would under the launcher, without a list of names to keep
 * current; it also takes the current directory out of the search, and keeps
 * PATH in it, where an application's native libraries may keep theirs. The
 * programs this process starts would inherit the directory (Windows documents
 * that): its own CreateProcessA calls hide it (HideRuntimeDirectory); what
 * the application starts through the JVM inherits it. SetDefaultDllDirectories
 * with AddDllDirectory would not be inherited, but it takes PATH out of every
 * later search of the process. Each runtime library tried replaces the
 * directory; a path that names none (a bare "jvm.dll") gets the system's
 * default search back. */
static void UseRuntimeDirectory(const char *libraryPath) {
    char libraryDirectory[PATH_CAPACITY + 1];
    if (HostParentDirectory(libraryDirectory, sizeof libraryDirectory, libraryPath) != 0 ||
        HostParentDirectory(runtimeDirectory, sizeof runtimeDirectory, libraryDirectory) != 0) {
        runtimeDirectory[0] = '\0';
        SetDllDirectoryA(nullptr);
        return;
    }
    if (!SetDllDirectoryA(runtimeDirectory)) LogSystemWarning("SetDllDirectory", 0, runtimeDirectory);
}

/* Called right after the failed load, while the search that failed it is
 * still the process's. */
static void NoteLoadFailure(const char *path, DWORD error) {
    int bits = HostImageBits(path);
    if (bits == 0 || (error != ERROR_BAD_EXE_FORMAT && error != ERROR_MOD_NOT_FOUND)) return;
    loadFailure.error = error;
    loadFailure.bits = bits;
    CopyField(loadFailure.path, path, PATH_CAPACITY);
    CopyField(loadFailure.directory, runtimeDirectory, PATH_CAPACITY);
    if (error != ERROR_MOD_NOT_FOUND ||
        HostMissingLibrary(loadFailure.missing, sizeof loadFailure.missing, path) != 0)
        loadFailure.missing[0] = '\0';
}

void HideRuntimeDirectory(void) {
    if (runtimeDirectory[0] != '\0' && !SetDllDirectoryA(nullptr))
        LogSystemWarning("SetDllDirectory", 0, MSG_NO_DLL_DIRECTORY);
}

void ShowRuntimeDirectory(void) {
    if (runtimeDirectory[0] != '\0' && !SetDllDirectoryA(runtimeDirectory))
        LogSystemWarning("SetDllDirectory", 0, runtimeDirectory);
}

int LoadJNILibrary(const char *path, JniEntryPoints *entryPoints) {
    LogLabelled(MSG_LOADING_JNI_LIBRARY, path, LOG_INFO);
    UseRuntimeDirectory(path);
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        DWORD error = GetLastError();
        LogSystemWarning("LoadLibrary", error, path);
        NoteLoadFailure(path, error);
        return 1;
    }
    entryPoints->library = library;
    FARPROC create = GetProcAddress(library, "JNI_CreateJavaVM");
    if (create == nullptr) {
        LogSystemWarning("GetProcAddress", 0, "JNI_CreateJavaVM");
        return 1;
    }
    entryPoints->createJavaVM = reinterpret_cast<CreateJavaVMFunction>(reinterpret_cast<void *>(create));
    FARPROC defaults = GetProcAddress(library, "JNI_GetDefaultJavaVMInitArgs");
    if (defaults == nullptr) {
        LogSystemWarning("GetProcAddress", 0, "JNI_GetDefaultJavaVMInitArgs");
        return 1;
    }
    entryPoints->getDefaultJavaVMInitArgs =
        reinterpret_cast<GetDefaultJavaVMInitArgsFunction>(reinterpret_cast<void *>(defaults));
    CopyField(loadedLibraryPath, path, PATH_CAPACITY);
    return 0;
}

void ClearLoadFailure(void) { loadFailure.error = 0; }

void ReportLoadFailure(void) {
    int ownBits = (int)(sizeof(void *) * 8);
    if (loadFailure.error == ERROR_BAD_EXE_FORMAT && loadFailure.bits != ownBits) {
        LogFormatted(LOG_ERROR, MSG_RUNTIME_LIBRARY_BITS, loadFailure.path, loadFailure.bits, ownBits,
                     HostBuildForBits(loadFailure.bits));
    } else if (loadFailure.error == ERROR_MOD_NOT_FOUND) {
        char places[2 * PATH_CAPACITY];
        HostDependencySearchText(places, sizeof places, loadFailure.directory);
        if (loadFailure.missing[0] != '\0')
            LogFormatted(LOG_ERROR, MSG_NEEDED_LIBRARY_NOT_FOUND, loadFailure.missing, loadFailure.path, places);
        else
            LogFormatted(LOG_ERROR, MSG_A_NEEDED_LIBRARY_NOT_FOUND, loadFailure.path, places);
    }
}
