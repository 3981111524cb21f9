/* Finding and loading the Java runtime library. */
#include "jvm/jvm.h"
#include "jvm/runtime_candidates.h"

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
    char missing[PATH_CAPACITY + 1]; /* with 126: the library it needs that was not found, "" when unknown */
} loadFailure;

/* What the search met on its way that the messages after it tell. */
static struct {
    /* A source that the administrator did not pin (JAVA_HOME, PATH) named a
     * folder that no longer exists; its feature version, when that is known,
     * is preferred among the later sources. */
    bool staleSource;
    int wantedVersion;
    /* The runtime that the service is pinned to no longer exists: the name of
     * its stored value ("JavaHome", "JNILibrary"), or NULL. */
    const char *pinnedValue;
    char pinnedPath[PATH_CAPACITY + 1];
} searchNotes;

/* The source and path that the latest "Loading JNI:" line named. */
static char announcedSource[CANDIDATE_SOURCE_CAPACITY + 1];
static char announcedPath[PATH_CAPACITY + 1];

const char *const noJavaRuntimeMessage =
    "Cannot find any suitable Java VM software on your computer.\n"
    "Please download and install a Java VM from https://adoptium.net/.\n";

enum { JVM_TYPE_CAPACITY = 63, CONFIG_LINE_CAPACITY = 259 };

/* Joins the pieces into `out` (PATH_CAPACITY + 1 bytes), the later ones
 * beginning with a separator or empty, without doubling the separator that
 * may end `first`; 1 when they do not fit. */
static int JoinPath(char *out, const char *first, const char *second, const char *third = "") {
    char rest[PATH_CAPACITY + 1];
    int written = snprintf(rest, sizeof rest, "%s%s", second, third);
    bool failed = written < 0 || written > PATH_CAPACITY;
    if (!failed && rest[0] == '\0')
        failed = strlen(first) > PATH_CAPACITY || snprintf(out, PATH_CAPACITY + 1, "%s", first) < 0;
    else if (!failed)
        failed = HostJoinPath(out, PATH_CAPACITY + 1, first, rest) != 0;
    if (failed) {
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
    if (runtimeDirectory[0] != '\0' && !SetDllDirectoryA(nullptr)) LogSystemWarning("SetDllDirectory", 0, "(none)");
}

void ShowRuntimeDirectory(void) {
    if (runtimeDirectory[0] != '\0' && !SetDllDirectoryA(runtimeDirectory))
        LogSystemWarning("SetDllDirectory", 0, runtimeDirectory);
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
    CopyField(announcedSource, source, CANDIDATE_SOURCE_CAPACITY);
    CopyField(announcedPath, path, PATH_CAPACITY);
    TextGuard label(FormatText("Loading JNI: %s used:", announcedSource));
    LogLabelled(label.Get(), path, LOG_INFO);
    javaRuntimeSource = announcedSource;
}

static const char javaHomeVariableSource[] = "JAVA_HOME env var";
static const char pathLauncherSource[] = "java on PATH";

/* The result of one source: found, failed (the search ends unless the source
 * lets it go on), or nothing there. */
enum SourceResult { SOURCE_FOUND = 0, SOURCE_FAILED = 1, SOURCE_ABSENT = 2 };

static bool IsPresent(const char *text) { return text != nullptr && text[0] != '\0'; }

/* Whether `path` names nothing at all: a missing file or folder, not one that
 * is there but cannot be read. */
static bool NoLongerExists(const char *path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

/* A source that the administrator did not pin and whose folder is gone (the
 * JDK updated into a new one): said at Warning, and its feature version, when
 * known, is the one to prefer from here on. */
static void PassOverStaleSource(const char *name, const char *path, int featureVersion) {
    LogFormatted(LOG_WARNING, "%s %s no longer exists", name, path);
    searchNotes.staleSource = true;
    if (searchNotes.wantedVersion == 0) searchNotes.wantedVersion = featureVersion;
}

/* The pinned runtime (/runtimelib:, /javahome:) is the only one tried; when it
 * is gone, that is the reason that ReportNoJavaRuntime gives. */
static bool PinnedRuntimeIsGone(const char *valueName, const char *path) {
    if (!NoLongerExists(path)) return false;
    searchNotes.pinnedValue = valueName;
    CopyField(searchNotes.pinnedPath, path, PATH_CAPACITY);
    return true;
}

static void ClearJavaSoftInfo(JavaSoftInfo *info) {
    free(info->javaHomeValue);
    free(info->runtimeLibValue);
    free(info->currentVersion);
    *info = {};
}

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

/* One key: its RuntimeLib decides (and a RuntimeLib that loads records the
 * key's JavaHome); else its JavaHome, whose failure ends the search only
 * when `lastKey`. */
static void CollectJavaSoftInfo(const JavaSoftInfo *info, const JavaSoftSources *sources, bool lastKey,
                                CandidateList *list) {
    bool library = IsPresent(info->runtimeLibValue);
    if (!library && !IsPresent(info->javaHomeValue)) return;
    RuntimeCandidate *candidate = AddCandidate(list);
    if (candidate == nullptr) return;
    CopyField(candidate->source, library ? sources->runtimeLib : sources->javaHome, CANDIDATE_SOURCE_CAPACITY);
    CopyField(candidate->path, library ? info->runtimeLibValue : info->javaHomeValue, PATH_CAPACITY);
    candidate->library = library;
    candidate->recordsJavaHome = library && info->javaHomeValue != nullptr;
    if (candidate->recordsJavaHome) CopyField(candidate->javaHome, info->javaHomeValue, PATH_CAPACITY);
    candidate->passOnFailure = !library && !lastKey;
    candidate->featureVersion = info->currentVersion ? FeatureVersionOfName(info->currentVersion) : 0;
}

static void CollectWorkingDirectory(CandidateList *list) {
    RuntimeCandidate *candidate = AddCandidate(list);
    if (candidate == nullptr) return;
    CopyField(candidate->source, "Current working dir", CANDIDATE_SOURCE_CAPACITY);
    CopyField(candidate->path, settings.workingDirectory, PATH_CAPACITY);
    candidate->passOnFailure = true;
    candidate->featureVersion = FeatureVersionOfHome(settings.workingDirectory);
}

/* The keys that installers up to Java 8 wrote, read by the caller before the
 * search: a development kit's, then a runtime environment's. */
static void CollectJavaSoftKeys(CandidateList *list) {
    CollectJavaSoftInfo(&jdkInfo, &developmentKitSources, false, list);
    CollectJavaSoftInfo(&jreInfo, &runtimeEnvironmentSources, true, list);
}

/* The keys that installers write since Java 9, read the same way, and only
 * when the older keys let the search come this far, so that a runtime found
 * there logs what it always did. */
static void CollectCurrentJavaSoftKeys(CandidateList *list) {
    JavaSoftInfo kit = {}, runtime = {};
    ReadJavaSoftKey(&kit, JAVASOFT_CURRENT_JDK_KEY);
    ReadJavaSoftKey(&runtime, JAVASOFT_CURRENT_JRE_KEY);
    CollectJavaSoftInfo(&kit, &currentKitSources, false, list);
    CollectJavaSoftInfo(&runtime, &currentRuntimeSources, true, list);
    ClearJavaSoftInfo(&kit);
    ClearJavaSoftInfo(&runtime);
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

/* Whether the last name of `directory` is "bin", in any case. */
static bool IsBinDirectory(const char *directory) {
    size_t end = strlen(directory);
    while (end > 0 && HostIsPathSeparator(directory[end - 1])) end--;
    if (end < 3 || (end > 3 && !HostIsPathSeparator(directory[end - 4]))) return false;
    const char *name = directory + end - 3;
    return (name[0] | 0x20) == 'b' && (name[1] | 0x20) == 'i' && (name[2] | 0x20) == 'n';
}

/* One PATH entry, without one pair of surrounding double quotes, into `out`
 * (PATH_CAPACITY + 1 bytes); 1 when it does not fit. */
static int CopyPathEntry(char *out, const char *entry, size_t length) {
    if (length >= 2 && entry[0] == '"' && entry[length - 1] == '"') {
        entry++;
        length -= 2;
    }
    if (length > PATH_CAPACITY) return 1;
    snprintf(out, PATH_CAPACITY + 1, "%.*s", (int)length, entry);
    return 0;
}

/* A PATH entry: the home of a launcher there when it lies in a Java home
 * (copies in a folder of their own are passed over); a "bin" that is gone
 * is a stale source. A relative entry would make the runtime depend on the
 * current directory of a process that may run as LocalSystem: never followed. */
static bool CollectPathEntry(const char *directory, CandidateList *list) {
    if (directory[0] == '\0') return false;
    if (!HostIsAbsolutePath(directory)) {
        LogLabelled("Relative PATH entry passed over:", directory, LOG_INFO);
        return false;
    }
    char home[PATH_CAPACITY + 1];
    if (HostJavaHomeOfLauncher(home, sizeof home, directory) == 0 && IsJavaHome(home)) {
        RuntimeCandidate *candidate = AddCandidate(list);
        if (candidate == nullptr) return true;
        CopyField(candidate->source, pathLauncherSource, CANDIDATE_SOURCE_CAPACITY);
        CopyField(candidate->path, home, PATH_CAPACITY);
        candidate->featureVersion = FeatureVersionOfHome(home);
        return true;
    }
    if (IsBinDirectory(directory) && NoLongerExists(directory) &&
        HostParentDirectory(home, sizeof home, directory) == 0)
        PassOverStaleSource("PATH", directory, FeatureVersionOfHome(home));
    return false;
}

/* The first launcher on PATH whose directory lies in a Java home. */
static void CollectPathLauncher(CandidateList *list) {
    TextGuard path(ReadEnvironmentVariable("PATH"));
    const char separators[] = {hostPathListSeparator, '\0'};
    const char *entry = path.Get();
    while (entry != nullptr && entry[0] != '\0') {
        size_t length = strcspn(entry, separators);
        char directory[PATH_CAPACITY + 1];
        if (CopyPathEntry(directory, entry, length) == 0 && CollectPathEntry(directory, list)) return;
        entry += length;
        if (entry[0] != '\0') entry++;
    }
}

typedef void (*CollectSources)(CandidateList *list);

/* The sources after JAVA_HOME, in order. */
static const CollectSources laterSources[] = {CollectWorkingDirectory, CollectJavaSoftKeys,
                                              CollectCurrentJavaSoftKeys, CollectPathLauncher,
                                              CollectInstallerKeys};
enum { LATER_SOURCE_COUNT = sizeof laterSources / sizeof laterSources[0], MOST_CANDIDATES = 64 };

/* Puts the runtimes of the wanted feature version first among the entries
 * from `first` on; the others keep their order behind them. */
static void PreferWantedVersion(CandidateList *list, int first) {
    int next = first;
    for (int i = first; i < list->count; i++) {
        if (list->items[i].featureVersion != searchNotes.wantedVersion) continue;
        RuntimeCandidate moving = list->items[i];
        memmove(&list->items[next + 1], &list->items[next], (size_t)(i - next) * sizeof moving);
        list->items[next++] = moving;
    }
}

static SourceResult TryCandidate(const RuntimeCandidate *candidate, JniEntryPoints *entryPoints) {
    if (candidate->passWhenGone && NoLongerExists(candidate->path)) {
        LogFormatted(LOG_WARNING, "%s %s no longer exists", candidate->source, candidate->path);
        return SOURCE_ABSENT;
    }
    AnnounceSource(candidate->source, candidate->path);
    if (!candidate->library) return SearchJavaHome(candidate->path, entryPoints) == 0 ? SOURCE_FOUND : SOURCE_FAILED;
    if (LoadJNILibrary(candidate->path, entryPoints) != 0) return SOURCE_FAILED;
    if (candidate->recordsJavaHome) CopyField(javaHomeUsed, candidate->javaHome, PATH_CAPACITY);
    return SOURCE_FOUND;
}

/* Says which runtime took the place of a source that no longer exists. */
static void ReportReplacement(const RuntimeCandidate *taken) {
    if (!searchNotes.staleSource) return;
    if (searchNotes.wantedVersion != 0 && taken->featureVersion == searchNotes.wantedVersion)
        LogFormatted(LOG_WARNING, "Java %d runtime found through %s used instead: %s", taken->featureVersion,
                     taken->source, taken->path);
    else
        LogFormatted(LOG_WARNING, "Java runtime found through %s used instead: %s", taken->source, taken->path);
}

/* The sources are collected a group at a time, as the search reaches them;
 * once a stale source has told which feature version to prefer, all of them
 * are, and that version's runtimes are tried first. */
static SourceResult SearchLaterSources(JniEntryPoints *entryPoints) {
    CandidateList list = {};
    list.capacity = MOST_CANDIDATES;
    list.items = static_cast<RuntimeCandidate *>(AllocateOrExit(MOST_CANDIDATES * sizeof(RuntimeCandidate)));
    int collected = 0;
    bool ordered = false;
    SourceResult result = SOURCE_ABSENT;
    for (int i = 0;; i++) {
        while (i == list.count && collected < LATER_SOURCE_COUNT) {
            laterSources[collected++](&list);
            if (searchNotes.wantedVersion == 0 || ordered) continue;
            while (collected < LATER_SOURCE_COUNT) laterSources[collected++](&list);
            PreferWantedVersion(&list, i);
            ordered = true;
        }
        if (i == list.count) {
            result = SOURCE_ABSENT;
            break;
        }
        result = TryCandidate(&list.items[i], entryPoints);
        if (result == SOURCE_FOUND) ReportReplacement(&list.items[i]);
        if (result == SOURCE_FOUND || (result == SOURCE_FAILED && !list.items[i].passOnFailure)) break;
    }
    free(list.items);
    return result;
}

static int SearchJavaRuntime(JniEntryPoints *entryPoints) {
    if (settings.runtimeLibrary[0] != '\0') {
        AnnounceSource("runtimelib param", settings.runtimeLibrary);
        if (PinnedRuntimeIsGone("JNILibrary", settings.runtimeLibrary)) return 1;
        return LoadJNILibrary(settings.runtimeLibrary, entryPoints);
    }
    if (settings.javaHome[0] != '\0') {
        AnnounceSource("javahome param", settings.javaHome);
        if (PinnedRuntimeIsGone("JavaHome", settings.javaHome)) return 1;
        return SearchJavaHome(settings.javaHome, entryPoints);
    }
    char javaHome[PATH_CAPACITY + 1];
    if (ReadJavaHomeVariable(javaHome) != 0) return 1;
    if (javaHome[0] != '\0') {
        if (!NoLongerExists(javaHome)) {
            AnnounceSource(javaHomeVariableSource, javaHome);
            return SearchJavaHome(javaHome, entryPoints);
        }
        PassOverStaleSource("JAVA_HOME", javaHome, FeatureVersionOfHome(javaHome));
    }
    return SearchLaterSources(entryPoints) == SOURCE_FOUND ? 0 : 1;
}

int FindJavaRuntime(JniEntryPoints *entryPoints) {
    javaRuntimeSource = nullptr;
    loadFailure.error = 0;
    searchNotes = {};
    if (SearchJavaRuntime(entryPoints) != 0) return 1;
    TextGuard label(FormatText("Java runtime found through %s:", javaRuntimeSource));
    LogLabelled(label.Get(), loadedLibraryPath, LOG_INFO);
    return 0;
}

void ReportFollowedRuntime(void) {
    const char *name = nullptr;
    if (javaRuntimeSource != nullptr && strcmp(javaRuntimeSource, javaHomeVariableSource) == 0) name = "JAVA_HOME";
    if (javaRuntimeSource != nullptr && strcmp(javaRuntimeSource, pathLauncherSource) == 0) name = "PATH";
    if (name == nullptr) return;
    LogFormatted(LOG_INFO,
                 "The Java runtime came through %s: should a JDK update move it to another folder, the service "
                 "follows it through the JDK installers' registry keys; to keep to this one, install with "
                 "\"/javahome:%s\"",
                 name, announcedPath);
}

void ReportNoJavaRuntime(void) {
    int ownBits = (int)(sizeof(void *) * 8);
    if (searchNotes.pinnedValue != nullptr) {
        LogFormatted(LOG_ERROR,
                     "%s %s no longer exists, and this service uses only that Java runtime: change its %s value, "
                     "or install again, to use another.",
                     searchNotes.pinnedValue, searchNotes.pinnedPath, searchNotes.pinnedValue);
    } else if (loadFailure.error == ERROR_BAD_EXE_FORMAT && loadFailure.bits != ownBits) {
        LogFormatted(LOG_ERROR,
                     "The Java runtime library %s is %d-bit and cannot be loaded by this %d-bit program: "
                     "use %s for it.",
                     loadFailure.path, loadFailure.bits, ownBits, HostBuildForBits(loadFailure.bits));
    } else if (loadFailure.error == ERROR_MOD_NOT_FOUND) {
        char places[2 * PATH_CAPACITY];
        HostDependencySearchText(places, sizeof places, loadFailure.directory);
        if (loadFailure.missing[0] != '\0')
            LogFormatted(LOG_ERROR,
                         "The library %s that the Java runtime library %s needs was not found (126); looked in %s.",
                         loadFailure.missing, loadFailure.path, places);
        else
            LogFormatted(LOG_ERROR,
                         "A library that the Java runtime library %s needs was not found (126); looked in %s.",
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
    info->currentVersion = version.Release();
    return 0;
}
