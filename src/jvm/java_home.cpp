/* A Java home as the search finds its runtime library there: the jvm.cfg
 * that lists the JVM types, the library of the type chosen, or the classic
 * place without one; a Java 8 development kit through its "jre". */
#include "jvm/jvm.h"
#include "jvm/runtime_candidates.h"

#include <stdio.h>
#include <string.h>

#include "common/file_text.h"
#include "common/guard.h"
#include "common/messages.h"
#include "host.h"
#include "log/log.h"

char *jvmType;
int jvmTypeMatched;

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
        LogLabelled(MSG_PATH_TOO_LONG, first, LOG_WARNING);
        out[0] = '\0';
        return 1;
    }
    return 0;
}

int LoadClassicJvm(const char *directory, JniEntryPoints *entryPoints) {
    char path[PATH_CAPACITY + 1];
    if (HostClassicJvmPath(path, sizeof path, directory) != 0) {
        LogLabelled(MSG_PATH_TOO_LONG, directory, LOG_WARNING);
        return 1;
    }
    return LoadJNILibrary(path, entryPoints);
}

int LoadTypedJvm(const char *directory, const char *configDirectory, const char *type,
                 JniEntryPoints *entryPoints) {
    /* A jvm.cfg without any "-" line names no library to try. */
    if (type[0] == '\0') {
        LogLabelled(MSG_NO_JVM_TYPE_LISTED, configDirectory, LOG_WARNING);
        return 1;
    }
    char path[PATH_CAPACITY + 1];
    if (HostTypedJvmPath(path, sizeof path, directory, configDirectory, type + 1) != 0) {
        LogLabelled(MSG_PATH_TOO_LONG, directory, LOG_WARNING);
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
    LogLabelled(MSG_SEARCHING_JVM_CONFIG, directory, LOG_INFO);
    char path[PATH_CAPACITY + 1];
    if (JvmConfigPath(path, directory) != 0) return 1;
    size_t size = 0;
    TextGuard text(ReadWholeFile(path, &size));
    if (!text) {
        TextGuard label(FormatSystemError("fopen", 0));
        LogLabelled(label.Get(), path, LOG_WARNING);
        return 1;
    }
    LogLabelled(MSG_JVM_CONFIG_FOUND, directory, LOG_INFO);
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

bool IsJavaHome(const char *directory) {
    char jreDirectory[PATH_CAPACITY + 1];
    return HoldsJvmConfig(directory) ||
           (JoinPath(jreDirectory, directory, hostJreSubdirectory) == 0 && HoldsJvmConfig(jreDirectory));
}
