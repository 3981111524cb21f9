/* The search for the Java runtime, source by source in a fixed order: the
 * pinned runtime, JAVA_HOME, then the later sources (the working directory,
 * the JavaSoft keys, java on PATH, the JDK installers' keys), and what the
 * search tells after it. */
#include "jvm/jvm.h"
#include "jvm/runtime_candidates.h"
#include "jvm/runtime_library.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "host.h"
#include "log/log.h"

char javaHomeUsed[PATH_CAPACITY + 1];
const char *javaRuntimeSource;

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

/* JAVA_HOME without one pair of surrounding double quotes, or "" when unset;
 * 1 when the value does not fit. */
static int ReadJavaHomeVariable(char *out) {
    out[0] = '\0';
    TextGuard value(ReadEnvironmentVariable("JAVA_HOME"));
    if (!value) return 0;
    if (strlen(value.Get()) > PATH_CAPACITY) {
        LogLabelled(MSG_JAVA_HOME_TOO_LONG, value.Get(), LOG_WARNING);
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
    TextGuard label(FormatText(MSG_LOADING_JNI, announcedSource));
    LogLabelled(label.Get(), path, LOG_INFO);
    javaRuntimeSource = announcedSource;
}


/* The result of one source: found, failed (the search ends unless the source
 * lets it go on), or nothing there. */
enum SourceResult { SOURCE_FOUND = 0, SOURCE_FAILED = 1, SOURCE_ABSENT = 2 };

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
    LogFormatted(LOG_WARNING, MSG_NO_LONGER_EXISTS, name, path);
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

static void CollectWorkingDirectory(CandidateList *list) {
    RuntimeCandidate *candidate = AddCandidate(list);
    if (candidate == nullptr) return;
    CopyField(candidate->source, MSG_SOURCE_WORKING_DIRECTORY, CANDIDATE_SOURCE_CAPACITY);
    CopyField(candidate->path, settings.workingDirectory, PATH_CAPACITY);
    candidate->passOnFailure = true;
    candidate->featureVersion = FeatureVersionOfHome(settings.workingDirectory);
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
        LogLabelled(MSG_RELATIVE_PATH_ENTRY, directory, LOG_INFO);
        return false;
    }
    char home[PATH_CAPACITY + 1];
    if (HostJavaHomeOfLauncher(home, sizeof home, directory) == 0 && IsJavaHome(home)) {
        RuntimeCandidate *candidate = AddCandidate(list);
        if (candidate == nullptr) return true;
        CopyField(candidate->source, MSG_SOURCE_JAVA_ON_PATH, CANDIDATE_SOURCE_CAPACITY);
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
        LogFormatted(LOG_WARNING, MSG_NO_LONGER_EXISTS, candidate->source, candidate->path);
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
        LogFormatted(LOG_WARNING, MSG_VERSION_RUNTIME_USED_INSTEAD, taken->featureVersion, taken->source, taken->path);
    else
        LogFormatted(LOG_WARNING, MSG_RUNTIME_USED_INSTEAD, taken->source, taken->path);
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
        AnnounceSource(MSG_SOURCE_RUNTIMELIB_PARAM, settings.runtimeLibrary);
        if (PinnedRuntimeIsGone("JNILibrary", settings.runtimeLibrary)) return 1;
        return LoadJNILibrary(settings.runtimeLibrary, entryPoints);
    }
    if (settings.javaHome[0] != '\0') {
        AnnounceSource(MSG_SOURCE_JAVAHOME_PARAM, settings.javaHome);
        if (PinnedRuntimeIsGone("JavaHome", settings.javaHome)) return 1;
        return SearchJavaHome(settings.javaHome, entryPoints);
    }
    char javaHome[PATH_CAPACITY + 1];
    if (ReadJavaHomeVariable(javaHome) != 0) return 1;
    if (javaHome[0] != '\0') {
        if (!NoLongerExists(javaHome)) {
            AnnounceSource(MSG_SOURCE_JAVA_HOME_VARIABLE, javaHome);
            return SearchJavaHome(javaHome, entryPoints);
        }
        PassOverStaleSource("JAVA_HOME", javaHome, FeatureVersionOfHome(javaHome));
    }
    return SearchLaterSources(entryPoints) == SOURCE_FOUND ? 0 : 1;
}

int FindJavaRuntime(JniEntryPoints *entryPoints) {
    javaRuntimeSource = nullptr;
    ClearLoadFailure();
    searchNotes = {};
    if (SearchJavaRuntime(entryPoints) != 0) return 1;
    TextGuard label(FormatText(MSG_RUNTIME_FOUND_THROUGH, javaRuntimeSource));
    LogLabelled(label.Get(), loadedLibraryPath, LOG_INFO);
    return 0;
}

void ReportFollowedRuntime(void) {
    const char *name = nullptr;
    if (javaRuntimeSource != nullptr && strcmp(javaRuntimeSource, MSG_SOURCE_JAVA_HOME_VARIABLE) == 0)
        name = "JAVA_HOME";
    if (javaRuntimeSource != nullptr && strcmp(javaRuntimeSource, MSG_SOURCE_JAVA_ON_PATH) == 0) name = "PATH";
    if (name == nullptr) return;
    LogFormatted(LOG_INFO, MSG_RUNTIME_FOLLOWED, name, announcedPath);
}

void ReportNoJavaRuntime(void) {
    if (searchNotes.pinnedValue != nullptr)
        LogFormatted(LOG_ERROR, MSG_PINNED_RUNTIME_GONE, searchNotes.pinnedValue, searchNotes.pinnedPath,
                     searchNotes.pinnedValue);
    else
        ReportLoadFailure();
    LogError(MSG_CANNOT_FIND_JAVA_VM);
}
