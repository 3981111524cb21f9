/* Finding and loading the Java runtime library. */
#include "jvm/jvm.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/file_text.h"
#include "common/guard.h"
#include "config/params.h"
#include "host.h"
#include "log/log.h"

JavaSoftInfo jdkInfo;
JavaSoftInfo jreInfo;
char *jvmType;
int jvmTypeMatched;
char loadedLibraryPath[PATH_CAPACITY + 1];
char javaHomeUsed[PATH_CAPACITY + 1];
const char *javaRuntimeSource;

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
} loadFailure;

const char *const noJavaRuntimeMessage =
    "Cannot find any suitable Java VM software on your computer.\n"
    "Please download and install a Java VM from https://adoptium.net/.\n";

enum { JVM_TYPE_CAPACITY = 63, CONFIG_LINE_CAPACITY = 259 };

/* Joins the pieces into `out` (PATH_CAPACITY + 1 bytes); 1 when they do not fit. */
static int JoinPath(char *out, const char *first, const char *second, const char *third = "") {
    int written = snprintf(out, PATH_CAPACITY + 1, "%s%s%s", first, second, third);
    if (written < 0 || written > PATH_CAPACITY) {
        LogLabelled("Path too long:", first, LOG_WARNING);
        out[0] = '\0';
        return 1;
    }
    return 0;
}

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
 * current; it also takes the current directory out of the search. The
 * programs this process starts inherit the search (Windows documents that).
 * Each runtime library tried replaces the directory; a path that names none
 * (a bare "jvm.dll") gets the system's default search back. */
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

static void NoteLoadFailure(const char *path, DWORD error) {
    int bits = HostImageBits(path);
    if (bits == 0 || (error != ERROR_BAD_EXE_FORMAT && error != ERROR_MOD_NOT_FOUND)) return;
    loadFailure.error = error;
    loadFailure.bits = bits;
    CopyField(loadFailure.path, path, PATH_CAPACITY);
    CopyField(loadFailure.directory, runtimeDirectory, PATH_CAPACITY);
}

int LoadJNILibrary(const char *path, JniEntryPoints *entryPoints) {
    LogLabelled("LoadJNILibrary", path, LOG_INFO);
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

int LoadClassicJvm(const char *directory, JniEntryPoints *entryPoints) {
    char path[PATH_CAPACITY + 1];
    if (HostClassicJvmPath(path, sizeof path, directory) != 0) {
        LogLabelled("Path too long:", directory, LOG_WARNING);
        return 1;
    }
    return LoadJNILibrary(path, entryPoints);
}

int LoadTypedJvm(const char *directory, const char *configDirectory, const char *type,
                 JniEntryPoints *entryPoints) {
    /* A jvm.cfg without any "-" line names no library to try. */
    if (type[0] == '\0') {
        LogLabelled("No JVM type listed in jvm.cfg in", configDirectory, LOG_WARNING);
        return 1;
    }
    char path[PATH_CAPACITY + 1];
    if (HostTypedJvmPath(path, sizeof path, directory, configDirectory, type + 1) != 0) {
        LogLabelled("Path too long:", directory, LOG_WARNING);
        return 1;
    }
    return LoadJNILibrary(path, entryPoints);
}

static bool IsConfigSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

static void AddConfigLine(const char *line, size_t length, StringList *types) {
    if (length == 0 || line[0] != '-') return;
    size_t word = 0;
    while (word < length && !IsConfigSpace(line[word])) word++;
    char copy[CONFIG_LINE_CAPACITY + 1];
    memcpy(copy, line, word);
    copy[word] = '\0';
    AddString(types, copy);
}

void ParseJvmConfigText(const char *text, size_t size, StringList *types) {
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && end - start < CONFIG_LINE_CAPACITY && text[end] != '\n') end++;
        if (end < size && text[end] == '\n' && end - start < CONFIG_LINE_CAPACITY) end++;
        AddConfigLine(text + start, end - start, types);
        start = end;
    }
}

/* directory + separator + "jvm.cfg" into `out` (PATH_CAPACITY + 1 bytes). */
static int JvmConfigPath(char *out, const char *directory, const char *place = "") {
    char name[16];
    snprintf(name, sizeof name, "%cjvm.cfg", hostPathSeparator);
    return JoinPath(out, directory, place, name);
}

int ReadJvmConfig(const char *directory, StringList *types) {
    LogLabelled("Searching for jvm.cfg in: ", directory, LOG_INFO);
    char path[PATH_CAPACITY + 1];
    if (JvmConfigPath(path, directory) != 0) return 1;
    size_t size = 0;
    TextGuard text(ReadWholeFile(path, &size));
    if (!text) {
        LogSystemWarning("fopen", 0, path);
        return 1;
    }
    LogLabelled("jvm.cfg found in: ", directory, LOG_INFO);
    ParseJvmConfigText(text.Get(), size, types);
    return 0;
}

int FindJvmConfig(const char *directory, StringList *types, char *configDirectory) {
    for (int i = 0; hostJvmConfigPlaces[i] != nullptr; i++) {
        if (JoinPath(configDirectory, directory, hostJvmConfigPlaces[i]) != 0) continue;
        if (ReadJvmConfig(configDirectory, types) == 0) return 0;
    }
    configDirectory[0] = '\0';
    return 1;
}

char *ChooseJvmType(const StringList *types, const char *requestedType) {
    const char *chosen = "";
    if (requestedType != nullptr && requestedType[0] == '-' && FindString(types, requestedType) >= 0)
        chosen = requestedType;
    else if (types->count > 0)
        chosen = types->items[0];
    char *result = static_cast<char *>(AllocateOrExit(JVM_TYPE_CAPACITY + 1));
    CopyField(result, chosen, JVM_TYPE_CAPACITY);
    return result;
}

int SearchJvmDirectory(const char *directory, JniEntryPoints *entryPoints) {
    StringList types = {};
    char configDirectory[PATH_CAPACITY + 1];
    if (FindJvmConfig(directory, &types, configDirectory) != 0) {
        ClearStrings(&types);
        return LoadClassicJvm(directory, entryPoints);
    }
    TextGuard type(ChooseJvmType(&types, jvmType));
    if (jvmType != nullptr && strcmp(jvmType, type.Get()) == 0) jvmTypeMatched = 1;
    int result = LoadTypedJvm(directory, configDirectory, type.Get(), entryPoints);
    ClearStrings(&types);
    return result;
}

int SearchJavaHome(const char *directory, JniEntryPoints *entryPoints) {
    if (SearchJvmDirectory(directory, entryPoints) == 0) return 0;
    char jreDirectory[PATH_CAPACITY + 1];
    if (JoinPath(jreDirectory, directory, hostJreSubdirectory) != 0) return 1;
    if (SearchJvmDirectory(jreDirectory, entryPoints) != 0) return 1;
    CopyField(javaHomeUsed, jreDirectory, PATH_CAPACITY);
    return 0;
}

/* JAVA_HOME without one pair of surrounding double quotes, or "" when unset;
 * 1 when the value does not fit. */
static int ReadJavaHomeVariable(char *out) {
    out[0] = '\0';
    TextGuard value(ReadEnvironmentVariable("JAVA_HOME"));
    if (!value) return 0;
    if (strlen(value.Get()) > PATH_CAPACITY) {
        LogLabelled("JAVA_HOME too long:", value.Get(), LOG_WARNING);
        return 1;
    }
    CopyField(out, value.Get(), PATH_CAPACITY);
    size_t length = strlen(out);
    if (length >= 2 && out[0] == '"' && out[length - 1] == '"') {
        memmove(out, out + 1, length - 2);
        out[length - 2] = '\0';
    }
    return 0;
}

/* Logs "Loading JNI: <source> used:" with the path; the source stays
 * javaRuntimeSource, which names the winner once the search succeeds. */
static void AnnounceSource(const char *source, const char *path) {
    TextGuard label(FormatText("Loading JNI: %s used:", source));
    LogLabelled(label.Get(), path, LOG_INFO);
    javaRuntimeSource = source;
}

/* The result of one group of sources: found, failed (the search ends), or
 * nothing present there (the next group is tried). */
enum SourceResult { SOURCE_FOUND = 0, SOURCE_FAILED = 1, SOURCE_ABSENT = 2 };

struct JavaSoftSources {
    const char *runtimeLib; /* the source names of the key's two values */
    const char *javaHome;
};
static const JavaSoftSources developmentKitSources = {"RuntimeLib (JavaSoft JDK reg)", "JavaHome (JavaSoft JDK reg)"};
static const JavaSoftSources runtimeEnvironmentSources = {"RuntimeLib (JavaSoft JRE reg)",
                                                          "JavaHome (JavaSoft JRE reg)"};
static const JavaSoftSources currentKitSources = {"RuntimeLib (JavaSoft\\JDK reg)", "JavaHome (JavaSoft\\JDK reg)"};
static const JavaSoftSources currentRuntimeSources = {"RuntimeLib (JavaSoft\\JRE reg)",
                                                      "JavaHome (JavaSoft\\JRE reg)"};

static bool IsPresent(const char *text) { return text != nullptr && text[0] != '\0'; }

/* One key: its RuntimeLib decides; else its JavaHome, whose failure ends the
 * search only when `lastKey`. A RuntimeLib that loads records the key's
 * JavaHome. */
static SourceResult SearchJavaSoftInfo(const JavaSoftInfo *info, const JavaSoftSources *sources, bool lastKey,
                                       JniEntryPoints *entryPoints) {
    if (IsPresent(info->runtimeLibValue)) {
        AnnounceSource(sources->runtimeLib, info->runtimeLibValue);
        if (LoadJNILibrary(info->runtimeLibValue, entryPoints) != 0) return SOURCE_FAILED;
        if (info->javaHomeValue != nullptr) CopyField(javaHomeUsed, info->javaHomeValue, PATH_CAPACITY);
        return SOURCE_FOUND;
    }
    if (!IsPresent(info->javaHomeValue)) return SOURCE_ABSENT;
    AnnounceSource(sources->javaHome, info->javaHomeValue);
    if (SearchJavaHome(info->javaHomeValue, entryPoints) == 0) return SOURCE_FOUND;
    return lastKey ? SOURCE_FAILED : SOURCE_ABSENT;
}

/* A development kit's key, then a runtime environment's. */
static SourceResult SearchJavaSoftPair(const JavaSoftInfo *kit, const JavaSoftSources *kitSources,
                                       const JavaSoftInfo *runtime, const JavaSoftSources *runtimeSources,
                                       JniEntryPoints *entryPoints) {
    SourceResult result = SearchJavaSoftInfo(kit, kitSources, false, entryPoints);
    if (result != SOURCE_ABSENT) return result;
    return SearchJavaSoftInfo(runtime, runtimeSources, true, entryPoints);
}

static void ClearJavaSoftInfo(JavaSoftInfo *info) {
    free(info->javaHomeValue);
    free(info->runtimeLibValue);
    *info = {};
}

/* The keys that installers write since Java 9, read only when the older keys
 * gave nothing, so that a runtime found there logs what it always did. */
static SourceResult SearchCurrentJavaSoftKeys(JniEntryPoints *entryPoints) {
    JavaSoftInfo kit = {}, runtime = {};
    ReadJavaSoftKey(&kit, JAVASOFT_CURRENT_JDK_KEY);
    ReadJavaSoftKey(&runtime, JAVASOFT_CURRENT_JRE_KEY);
    SourceResult result = SearchJavaSoftPair(&kit, &currentKitSources, &runtime, &currentRuntimeSources, entryPoints);
    ClearJavaSoftInfo(&kit);
    ClearJavaSoftInfo(&runtime);
    return result;
}

/* Whether a jvm.cfg lies in one of its places below `directory`. */
static bool HoldsJvmConfig(const char *directory) {
    char path[PATH_CAPACITY + 1];
    for (int i = 0; hostJvmConfigPlaces[i] != nullptr; i++) {
        if (JvmConfigPath(path, directory, hostJvmConfigPlaces[i]) != 0) return false;
        DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    }
    return false;
}

/* A Java home, as SearchJavaHome searches it: a jvm.cfg below it or below its
 * "jre" (a Java 8 development kit). */
static bool IsJavaHome(const char *directory) {
    char jreDirectory[PATH_CAPACITY + 1];
    return HoldsJvmConfig(directory) ||
           (JoinPath(jreDirectory, directory, hostJreSubdirectory) == 0 && HoldsJvmConfig(jreDirectory));
}

/* The first launcher on PATH whose directory lies in a Java home; launchers
 * elsewhere (copies in a folder of their own) are passed over. */
static SourceResult SearchPathLaunchers(JniEntryPoints *entryPoints) {
    TextGuard path(ReadEnvironmentVariable("PATH"));
    const char separators[] = {hostPathListSeparator, '\0'};
    const char *entry = path.Get();
    while (entry != nullptr && entry[0] != '\0') {
        size_t length = strcspn(entry, separators);
        char directory[PATH_CAPACITY + 1];
        char home[PATH_CAPACITY + 1];
        if (length <= PATH_CAPACITY) {
            snprintf(directory, sizeof directory, "%.*s", (int)length, entry);
            if (HostJavaHomeOfLauncher(home, sizeof home, directory) == 0 && IsJavaHome(home)) {
                AnnounceSource("java on PATH", home);
                return SearchJavaHome(home, entryPoints) == 0 ? SOURCE_FOUND : SOURCE_FAILED;
            }
        }
        entry += length;
        if (entry[0] != '\0') entry++;
    }
    return SOURCE_ABSENT;
}

static int SearchJavaRuntime(JniEntryPoints *entryPoints) {
    if (settings.runtimeLibrary[0] != '\0') {
        AnnounceSource("runtimelib param", settings.runtimeLibrary);
        return LoadJNILibrary(settings.runtimeLibrary, entryPoints);
    }
    if (settings.javaHome[0] != '\0') {
        AnnounceSource("javahome param", settings.javaHome);
        return SearchJavaHome(settings.javaHome, entryPoints);
    }
    char javaHome[PATH_CAPACITY + 1];
    if (ReadJavaHomeVariable(javaHome) != 0) return 1;
    if (javaHome[0] != '\0') {
        AnnounceSource("JAVA_HOME env var", javaHome);
        return SearchJavaHome(javaHome, entryPoints);
    }
    AnnounceSource("Current working dir", settings.workingDirectory);
    if (SearchJavaHome(settings.workingDirectory, entryPoints) == 0) return 0;

    SourceResult result =
        SearchJavaSoftPair(&jdkInfo, &developmentKitSources, &jreInfo, &runtimeEnvironmentSources, entryPoints);
    if (result == SOURCE_ABSENT) result = SearchCurrentJavaSoftKeys(entryPoints);
    if (result == SOURCE_ABSENT) result = SearchPathLaunchers(entryPoints);
    return result == SOURCE_FOUND ? 0 : 1;
}

int FindJavaRuntime(JniEntryPoints *entryPoints) {
    javaRuntimeSource = nullptr;
    loadFailure.error = 0;
    if (SearchJavaRuntime(entryPoints) != 0) return 1;
    TextGuard label(FormatText("Java runtime found through %s:", javaRuntimeSource));
    LogLabelled(label.Get(), loadedLibraryPath, LOG_INFO);
    return 0;
}

void ReportNoJavaRuntime(void) {
    int ownBits = (int)(sizeof(void *) * 8);
    if (loadFailure.error == ERROR_BAD_EXE_FORMAT && loadFailure.bits != ownBits) {
        LogFormatted(LOG_ERROR,
                     "The Java runtime library %s is %d-bit and cannot be loaded by this %d-bit program: "
                     "use %s for it.",
                     loadFailure.path, loadFailure.bits, ownBits, HostBuildForBits(loadFailure.bits));
    } else if (loadFailure.error == ERROR_MOD_NOT_FOUND) {
        char places[2 * PATH_CAPACITY];
        HostDependencySearchText(places, sizeof places, loadFailure.directory);
        LogFormatted(LOG_ERROR, "A library that the Java runtime library %s needs was not found (126); looked in %s.",
                     loadFailure.path, places);
    }
    LogError(noJavaRuntimeMessage);
}

static void LogRegistryWarning(LONG code, const char *keyPath, const char *version) {
    TextGuard error(FormatSystemError("RegOpenKeyEx", (DWORD)code));
    size_t size = strlen(error.Get()) + strlen(keyPath) + (version ? strlen(version) : 0) + 8;
    TextGuard text(static_cast<char *>(AllocateOrExit(size)));
    if (version == nullptr)
        snprintf(text.Get(), size, "%s\r\n\t%s", error.Get(), keyPath);
    else
        snprintf(text.Get(), size, "%s\r\n\t%s\\%s", error.Get(), keyPath, version);
    LogMessage(text.Get(), LOG_WARNING);
}

int ReadJavaSoftKey(JavaSoftInfo *info, const char *keyPath) {
    KeyGuard key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.Out());
    if (status != ERROR_SUCCESS) {
        LogRegistryWarning(status, keyPath, nullptr);
        return 1;
    }
    TextGuard version(ReadStringValue(key.Get(), "CurrentVersion"));
    if (!version) return 1;
    KeyGuard versionKey;
    status = RegOpenKeyExA(key.Get(), version.Get(), 0, KEY_READ, versionKey.Out());
    if (status != ERROR_SUCCESS) {
        LogRegistryWarning(status, keyPath, version.Get());
        return 1;
    }
    ClearJavaSoftInfo(info);
    info->javaHomeValue = ReadStringValue(versionKey.Get(), "JavaHome");
    info->runtimeLibValue = ReadStringValue(versionKey.Get(), "RuntimeLib");
    return 0;
}
