/* The keys that the JDK installers write for their own builds, and the
 * feature versions that names and homes tell. */
#include "jvm/jvm.h"
#include "jvm/runtime_candidates.h"

#include <stdio.h>
#include <string.h>

#include "common/file_text.h"
#include "common/guard.h"
#include "common/messages.h"
#include "host.h"

/* One installer's key under HKEY_LOCAL_MACHINE: a subkey per installed
 * version, and below it the string value that holds the home. A new
 * installer is a new row. Installers that write the JavaSoft keys themselves
 * (Oracle's, Amazon Corretto's, Red Hat's) need none. */
struct InstallerKey {
    const char *key;
    const char *below; /* from a version's subkey to the one that holds the value, "" for itself */
    const char *value;
};

static const InstallerKey installerKeys[] = {
    /* Eclipse Temurin's MSI writes <version>\hotspot\MSI with Path, the
     * installation folder with its trailing backslash, in its main feature,
     * whatever else is chosen; <version> is the full one, such as 21.0.5.11. */
    {"Software\\Eclipse Adoptium\\JDK", "\\hotspot\\MSI", "Path"},
    {"Software\\Eclipse Adoptium\\JRE", "\\hotspot\\MSI", "Path"},
    /* The Microsoft Build of OpenJDK comes with the same installer. */
    {"Software\\Microsoft\\JDK", "\\hotspot\\MSI", "Path"},
    /* So did AdoptOpenJDK's builds before Temurin. */
    {"Software\\AdoptOpenJDK\\JDK", "\\hotspot\\MSI", "Path"},
    {"Software\\AdoptOpenJDK\\JRE", "\\hotspot\\MSI", "Path"},
    /* Azul Zulu: zulu-<feature> with InstallationPath. */
    {"Software\\Azul Systems\\Zulu", "", "InstallationPath"},
    /* BellSoft Liberica: jdk-<feature> and jre-<feature> with InstallationPath. */
    {"Software\\BellSoft\\Liberica", "", "InstallationPath"},
};

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

/* The number at *text, which begins with a digit; *text moves past it. Numbers
 * beyond six digits read as 0. */
static unsigned ReadNumber(const char **text) {
    unsigned number = 0;
    int digits = 0;
    for (; IsDigit(**text); (*text)++)
        if (++digits <= 6) number = number * 10 + (unsigned)(**text - '0');
    return digits <= 6 ? number : 0;
}

int FeatureVersionOfName(const char *name) {
    const char *text = name;
    while (*text != '\0' && !IsDigit(*text)) text++;
    if (*text == '\0') return 0;
    unsigned first = ReadNumber(&text);
    if (first == 1 && text[0] == '.' && IsDigit(text[1])) {
        text++;
        first = ReadNumber(&text);
    }
    return first < 1000 ? (int)first : 0;
}

/* The numbers of a version's name, "21.0.6.7" or "zulu-17", the rest 0. */
static void ReadVersionParts(const char *name, unsigned *parts) {
    memset(parts, 0, CANDIDATE_VERSION_PARTS * sizeof *parts);
    const char *text = name;
    while (*text != '\0' && !IsDigit(*text)) text++;
    for (int i = 0; i < CANDIDATE_VERSION_PARTS && IsDigit(*text); i++) {
        parts[i] = ReadNumber(&text);
        if ((*text == '.' || *text == '_' || *text == '+') && IsDigit(text[1])) text++;
    }
}

/* JAVA_VERSION of the release file that a Java home keeps beside its bin. */
static int ReleaseFeatureVersion(const char *home) {
    char path[PATH_CAPACITY + 1];
    char rest[16];
    snprintf(rest, sizeof rest, "%crelease", hostPathSeparator);
    if (HostJoinPath(path, sizeof path, home, rest) != 0) return 0;
    size_t size = 0;
    TextGuard text(ReadWholeFile(path, &size));
    if (!text) return 0;
    static const char key[] = "JAVA_VERSION=";
    for (const char *line = text.Get(); line != nullptr; line = strchr(line, '\n')) {
        if (*line == '\n') line++;
        if (strncmp(line, key, sizeof key - 1) == 0) return FeatureVersionOfName(line + sizeof key - 1);
    }
    return 0;
}

int FeatureVersionOfHome(const char *home) {
    int version = ReleaseFeatureVersion(home);
    if (version != 0) return version;
    size_t end = strlen(home);
    while (end > 0 && HostIsPathSeparator(home[end - 1])) end--;
    size_t start = end;
    while (start > 0 && !HostIsPathSeparator(home[start - 1])) start--;
    char name[PATH_CAPACITY + 1];
    snprintf(name, sizeof name, "%.*s", (int)(end - start), home + start);
    return FeatureVersionOfName(name);
}

RuntimeCandidate *AddCandidate(CandidateList *list) {
    if (list->count == list->capacity) return nullptr;
    RuntimeCandidate *candidate = &list->items[list->count++];
    memset(candidate, 0, sizeof *candidate);
    return candidate;
}

/* A string value of `key`'s subkey `path`, without a word in the log when
 * either is missing: most machines have most installers' keys missing. 0
 * when it was read whole into `out` (PATH_CAPACITY + 1 bytes). */
static int ReadQuietString(HKEY key, const char *path, const char *name, char *out) {
    KeyGuard subkey;
    if (RegOpenKeyExA(key, path, 0, KEY_READ, subkey.Out()) != ERROR_SUCCESS) return 1;
    DWORD type = REG_NONE;
    DWORD size = PATH_CAPACITY;
    memset(out, 0, PATH_CAPACITY + 1);
    if (RegQueryValueExA(subkey.Get(), name, nullptr, &type, reinterpret_cast<BYTE *>(out), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return 1;
    return out[0] != '\0' ? 0 : 1;
}

static bool IsNewer(const RuntimeCandidate *a, const RuntimeCandidate *b) {
    for (int i = 0; i < CANDIDATE_VERSION_PARTS; i++)
        if (a->version[i] != b->version[i]) return a->version[i] > b->version[i];
    return false;
}

/* Newest first among the entries from `first` on; equal ones keep their order. */
static void OrderNewestFirst(CandidateList *list, int first) {
    for (int i = first + 1; i < list->count; i++) {
        RuntimeCandidate moving = list->items[i];
        int j = i;
        for (; j > first && IsNewer(&moving, &list->items[j - 1]); j--) list->items[j] = list->items[j - 1];
        list->items[j] = moving;
    }
}

static void CollectInstallerKey(const InstallerKey *row, CandidateList *list) {
    KeyGuard key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, row->key, 0, KEY_READ, key.Out()) != ERROR_SUCCESS) return;
    int first = list->count;
    char name[MAX_PATH + 1];
    for (DWORD index = 0; RegEnumKeyA(key.Get(), index, name, sizeof name) == ERROR_SUCCESS; index++) {
        char below[MAX_PATH + 64];
        snprintf(below, sizeof below, "%s%s", name, row->below);
        char home[PATH_CAPACITY + 1];
        if (ReadQuietString(key.Get(), below, row->value, home) != 0) continue;
        RuntimeCandidate *candidate = AddCandidate(list);
        if (candidate == nullptr) break;
        CopyField(candidate->path, home, PATH_CAPACITY);
        int written = snprintf(candidate->source, sizeof candidate->source, MSG_SOURCE_INSTALLER_KEY, row->value,
                               row->key + strlen("Software\\"), below);
        if (written < 0 || (size_t)written >= sizeof candidate->source) { /* a version name of no installer */
            list->count--;
            continue;
        }
        candidate->passWhenGone = true;
        candidate->featureVersion = FeatureVersionOfName(name);
        ReadVersionParts(name, candidate->version);
    }
    OrderNewestFirst(list, first);
}

void CollectInstallerKeys(CandidateList *list) {
    for (const InstallerKey &row : installerKeys) CollectInstallerKey(&row, list);
}
